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
    qint64 matchingEnded = -1;
    qint64 walkEnded = -1;
    QTimer probe;
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (last > 0)
            worstLateness = std::max(worstLateness, now - last - 10);
        last = now;
        if (matchingEnded < 0 && form.state.FinderOperation.load() == FinderPhase::PopulateList)
            matchingEnded = now;
        if (walkEnded < 0 && form.state.FinderOperation.load() == FinderPhase::MatchFiles)
            walkEnded = now;
        if (form.thrFindFiles && form.thrFindFiles->isFinished()) {
            QCoreApplication::sendPostedEvents();
            const qint64 end = clock.elapsed();
            std::printf("rows %d, search %.2f s (walk %.2f s), list filled %lld ms after "
                        "matching, worst event-loop delay %lld ms\n",
                        form.results()->rowCount(), end / 1000.0, walkEnded / 1000.0,
                        matchingEnded < 0 ? 0LL : end - matchingEnded, worstLateness);
            QCoreApplication::quit();
        }
    });
    probe.start();
    form.btSearchClick();
    return QApplication::exec();
}
