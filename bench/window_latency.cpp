// Measures the window during a search: how late the event loop answers (a 10 ms timer that
// records its lateness stands in for the user's input) and how long the list takes to fill
// once the matching has ended.
//
//   QT_QPA_PLATFORM=offscreen twinscope-window-bench FOLDER

#include "app/TMainForm.h"
#include "search/FileFinder.h"
#include "ui/ResultListModel.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: twinscope-window-bench FOLDER\n");
        return 2;
    }
    MainFormSetup setup;
    setup.isAdmin = [] { return false; };
    TMainForm form(setup);
    form.show();
    form.eTarget->setEditText(QString::fromLocal8Bit(argv[1]));

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    qint64 worstLateness = 0;
    QString worstMoment = QStringLiteral("none");
    qint64 matchingEnded = -1;
    qint64 walkEnded = -1;
    qint64 listFilled = -1; // every row listed and the list shown
    QTimer probe;
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (last > 0 && now - last - 10 > worstLateness) {
            worstLateness = now - last - 10;
            // Where the search stood when the event loop answered late.
            const char* phase = "walk";
            switch (form.state.FinderOperation.load()) {
            case FinderPhase::None:
                phase = matchingEnded >= 0 ? "end" : "walk";
                break;
            case FinderPhase::MatchFiles:
                phase = "matching";
                break;
            case FinderPhase::PopulateList:
                phase = "list filling";
                break;
            }
            worstMoment = QStringLiteral("%1 at %2 s, %3 rows listed")
                              .arg(QLatin1String(phase))
                              .arg(now / 1000.0, 0, 'f', 2)
                              .arg(form.results()->rowCount());
        }
        last = now;
        if (matchingEnded < 0 && form.state.FinderOperation.load() == FinderPhase::PopulateList)
            matchingEnded = now;
        if (walkEnded < 0 && form.state.FinderOperation.load() == FinderPhase::MatchFiles)
            walkEnded = now;
        if (listFilled < 0 && matchingEnded >= 0 && !form.listParked() &&
            form.results()->rowCount() == form.state.iDuplicatedFiles.load())
            listFilled = now;
        if (form.thrFindFiles() && form.thrFindFiles()->isFinished()) {
            QCoreApplication::sendPostedEvents();
            const qint64 end = clock.elapsed();
            if (listFilled < 0)
                listFilled = end;
            // The search's thread ends after the list is shown: it then writes the digests.
            std::printf("rows %d, search %.2f s (walk %.2f s, matching ended %.2f s), list "
                        "filled %lld ms after matching, window idle at %.2f s, worst event-loop "
                        "delay %lld ms (%s)\n",
                        form.results()->rowCount(), listFilled / 1000.0, walkEnded / 1000.0,
                        matchingEnded / 1000.0,
                        matchingEnded < 0 ? 0LL : listFilled - matchingEnded, end / 1000.0,
                        worstLateness, qPrintable(worstMoment));
            QCoreApplication::quit();
        }
    });
    probe.start();
    form.btSearchClick();
    return QApplication::exec();
}
