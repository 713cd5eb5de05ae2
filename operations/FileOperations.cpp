#include "operations/FileOperations.h"

#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "ui/Dialogs.h"

#include <QFile>
#include <condition_variable>
#include <mutex>

#include <memory>

namespace {

QString decoded(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

} // namespace

QString failureMessage(int operation, const std::vector<OperationFailure>& failures) {
    const char* verb = operation == 1   ? "copied"
                       : operation == 2 ? "moved"
                       : operation == 3 ? "deleted"
                       : operation == 4 ? "moved to the trash"
                       : operation == 5 ? "replaced with hard links"
                                        : "replaced with reflinks";
    QString text = QStringLiteral("These files were not %1:\n\r\n\r").arg(QLatin1String(verb));
    const int named =
        std::min<int>(static_cast<int>(failures.size()), FileOperations::kFailuresNamed);
    for (int i = 0; i < named; ++i) {
        const OperationFailure& failure = failures[static_cast<std::size_t>(i)];
        text += decoded(failure.path) + QStringLiteral(" — ") + decoded(failure.reason) +
                QLatin1Char('\n');
    }
    if (static_cast<int>(failures.size()) > named)
        text += QStringLiteral("… and %1 more.\n").arg(static_cast<int>(failures.size()) - named);
    return text.trimmed();
}

// The engine's questions in the window's boxes, asked on the window's thread while the run
// waits; a run asked to end (the window closing) does not wait and takes No.
class FileOperations::WindowHost : public OperationHost {
public:
    WindowHost(RunWindow& window, RunControl& control) : m_window(window), m_control(control) {}

    bool askReplace() override {
        return ask(QStringLiteral("There is already a file with the same name in the destination "
                                  "path.\n\r\n\rDo you want to replace the file in the destination "
                                  "path? Click “Yes” to replace it, or “No” to auto rename it."),
                   true);
    }
    void warnRenamed() override {
        ask(QStringLiteral("There is already a file with the same name in the destination "
                           "path.\n\r\n\rThe file being moved will be automatically renamed."),
            false);
    }
    void fileStarted(int, const std::string& name, const std::string& folder) override {
        m_window.runProgress().setFileAndDirectory(name, folder);
    }

private:
    bool ask(const QString& text, bool question) {
        // Kept alive by the window's change too: a run that ends does not wait for the answer.
        struct Answer {
            std::mutex mutex;
            std::condition_variable given;
            bool ready = false;
            bool yes = false;
        };
        auto answer = std::make_shared<Answer>();
        m_window.postChange([window = &m_window, answer, text, question] {
            const bool yes =
                question ? window->dialogs().confirm(window->dialogParent(), text)
                         : (window->dialogs().acknowledge(window->dialogParent(), text), false);
            std::lock_guard lock(answer->mutex);
            answer->yes = yes;
            answer->ready = true;
            answer->given.notify_all();
        });
        // Registered outside the answer's lock: the run's end takes its own lock, then this one.
        m_control.addEndWaiter(answer->mutex, answer->given);
        bool yes = false;
        {
            std::unique_lock lock(answer->mutex);
            answer->given.wait(lock, [&] { return answer->ready || m_control.terminated(); });
            yes = answer->ready && answer->yes;
        }
        m_control.removeEndWaiter(answer->given);
        return yes;
    }

    RunWindow& m_window;
    RunControl& m_control;
};

FileOperations::FileOperations(RunWindow& window, std::vector<ResultRow> rows,
                               std::vector<char> checked, OperationRequest request)
    : RunWorker(window, RunKind::Operation, "Twinscope File Operations"), m_rows(std::move(rows)),
      m_checked(std::move(checked)), m_request(std::move(request)),
      m_host(std::make_unique<WindowHost>(window, m_control)),
      m_engine(std::make_unique<FileOperationEngine>(window.sharedState().aDuplicatedFiles, *m_host,
                                                     m_control)) {
}

FileOperations::~FileOperations() {
    join(); // the engine and its host go before the base would wait
}

int FileOperations::opStatus() const {
    return m_engine->opStatus();
}

int FileOperations::globalPosition() const {
    return m_engine->globalPosition();
}

int FileOperations::fileNumber() const {
    return m_engine->fileNumber();
}

int FileOperations::tickedCount() const {
    return m_engine->tickedCount();
}

void FileOperations::Execute() {
    SharedState& state = m_window.sharedState();
    state.iDuplicatedFiles = 0;
    const int operation = static_cast<int>(m_request.operation);
    std::vector<TFiles>& table = state.aDuplicatedFiles;
    int ticked = 0;
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        ticked += m_checked[i] && m_rows[i].record < table.size() ? 1 : 0;
    post([operation, ticked](RunWindow& window) { window.operationStarted(operation, ticked); });
    m_engine->run(m_request, m_rows, m_checked);
    state.iDuplicatedFiles = static_cast<int>(table.size());

    if (state.iDuplicatedFiles >= 1) {
        const int count = state.iDuplicatedFiles;
        post([count](RunWindow& window) { window.operationRefillStarted(count); });
        fillResultList(m_window, table, m_control,
                       [this](std::size_t index) { m_refillIndex = static_cast<int>(index); });
        if (!m_control.terminated())
            post([](RunWindow& window) { window.unparkList(); });
    }
    // Files passed over are named too: a file the user asked to remove that is still there, or
    // already gone, is not an operation that went through.
    std::vector<OperationFailure> leftAlone = m_engine->passedOver();
    leftAlone.insert(leftAlone.end(), m_engine->failures().begin(), m_engine->failures().end());
    finish(operation, leftAlone);
}

void FileOperations::finish(int operation, const std::vector<OperationFailure>& failures) {
    const bool terminated = m_control.terminated();
    SharedState& state = m_window.sharedState();
    const int count = state.iDuplicatedFiles;
    const QString message = failures.empty() ? QString() : failureMessage(operation, failures);
    post([terminated, count, message](RunWindow& window) {
        window.operationEnded(terminated, count, message);
    });
}
