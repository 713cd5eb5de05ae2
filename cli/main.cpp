#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "operations/FileOperationEngine.h"
#include "operations/FileTransfer.h"
#include "operations/Selection.h"
#include "platform/FileTime.h"
#include "platform/OpenFileLimit.h"
#include "platform/SpecialFolders.h"
#include "search/ReferenceFolders.h"
#include "platform/ThreadName.h"
#include "search/RunControl.h"
#include "search/SearchEngine.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "tools/GeneralTools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitWriteFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

void printError(const std::string& message) {
    std::fprintf(stderr, "twinscope-cli: %s\n", message.c_str());
}

// The removals under way, for the progress line: the file number and how many were picked.
std::atomic<int> gRemovalNumber{0};
std::atomic<int> gRemovalCount{0};
std::atomic<bool> gReplacing{false}; // by links

// The reading of the matching, with an estimate of the time it has left.
ReadingClock gReading;

std::string progressLine(const RunSnapshot& run) {
    if (gRemovalCount.load() > 0)
        return std::string(gReplacing ? "Replacing files: " : "Removing files: ") +
               std::to_string(gRemovalNumber.load()) + "/" + std::to_string(gRemovalCount.load());
    switch (run.phase) {
    case FinderPhase::None:
        return "Searching for files: " + std::to_string(run.filesFound) + " found";
    case FinderPhase::MatchFiles: {
        std::string line = "Matching files: " + std::to_string(run.bar + 1) + "/" +
                           std::to_string(run.filesFound) + ", " + std::to_string(run.duplicated) +
                           " duplicated";
        if (run.hashPercent >= 0)
            line += ", hash " + std::to_string(run.hashPercent) + "%";
        if (const std::string reading = gReading.text(run); !reading.empty())
            line += ", " + reading;
        return line;
    }
    case FinderPhase::PopulateList:
        break;
    }
    return {};
}

// Blocked in every thread; only ever sent to the watcher to end its wait.
constexpr int kWakeSignal = SIGUSR2;

// What an interruption does at each stage: during the search and the removals the work is
// asked to end and ends on its own (a removal under way is finished, so no file is left set
// aside); while the program waits on its output or writes the digest cache (which may block for
// as long as a pipe is not read), it ends at once.
class Watcher {
public:
    Watcher(RunControl& control, const SharedState& state, const SearchProgress& progress,
            bool showProgress)
        : m_showProgress(showProgress),
          m_thread([this, &control, &state, &progress] { watch(control, state, progress); }) {}

    ~Watcher() { stop(); }

    // The wake signal ends the watcher's wait at once, so a short search does not wait out
    // the progress tick.
    void stop() {
        m_done = true;
        if (m_thread.joinable()) {
            pthread_kill(m_thread.native_handle(), kWakeSignal);
            m_thread.join();
        }
    }

    bool interrupted() const { return m_signal.load() != 0; }
    // 130 after SIGINT, 143 after SIGTERM, 129 after SIGHUP.
    int exitStatus() const { return 128 + m_signal.load(); }

    // From now on an interruption ends the program at once, removing `writer`'s temporary file
    // and naming the files removed so far.
    void endAtOnce(const WholeFileWriter* writer) {
        std::lock_guard lock(m_mutex);
        m_writer = writer;
        m_atOnce = true;
        if (interrupted() && !m_acknowledged)
            endNow();
    }
    // The work has ended on the interruption so far; it goes on to write what it did.
    void acknowledge() {
        std::lock_guard lock(m_mutex);
        m_acknowledged = true;
    }
    // Interruptions are again left to the work.
    void leaveToWork() {
        std::lock_guard lock(m_mutex);
        m_atOnce = false;
        m_writer = nullptr;
    }

    // Files are to be removed (or replaced: `done` says which) from now on; each that is, is
    // named here.
    void expectRemovals(const char* done) {
        std::lock_guard lock(m_mutex);
        m_removals = true;
        m_doneWord = done;
    }
    void removed(const std::string& path) {
        std::lock_guard lock(m_mutex);
        m_removed.push_back(path);
    }
    // Warnings, one a line, on a line of their own rather than over the progress line.
    void warn(const std::string& lines) {
        std::lock_guard lock(m_mutex);
        if (m_showProgress)
            std::fprintf(stderr, "\r\033[K");
        std::istringstream in(lines);
        for (std::string line; std::getline(in, line);)
            printError(line);
    }

    // What to add to a message that ends the program: which files were removed.
    std::string removalSummary() {
        std::lock_guard lock(m_mutex);
        return summaryLocked();
    }

private:
    void watch(RunControl& control, const SharedState& state, const SearchProgress& progress) {
        setThreadName("twinscope-watch");
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGHUP);
        sigaddset(&signals, kWakeSignal);
        const timespec tick{0, 100'000'000};
        while (!m_done.load()) {
            const int received = sigtimedwait(&signals, nullptr, &tick);
            if (received == SIGINT || received == SIGTERM || received == SIGHUP) {
                std::lock_guard lock(m_mutex);
                m_signal = received;
                m_acknowledged = false;
                control.requestTerminate();
                if (m_atOnce)
                    endNow();
            }
            if (m_showProgress) {
                std::lock_guard lock(m_mutex);
                std::fprintf(stderr, "\r\033[K%s",
                             progressLine(runSnapshot(state, progress)).c_str());
            }
        }
        if (m_showProgress)
            std::fprintf(stderr, "\r\033[K");
    }

    std::string summaryLocked() const {
        if (!m_removals)
            return {};
        if (m_removed.empty())
            return std::string("; nothing was ") + m_doneWord;
        std::string text = std::string("; these files were ") + m_doneWord + ":";
        for (const std::string& path : m_removed)
            text += "\n  " + path;
        return text;
    }

    // Called with the mutex held.
    [[noreturn]] void endNow() {
        if (m_writer != nullptr && !m_writer->temporary().empty())
            ::unlink(m_writer->temporary().c_str());
        // Not through stdio: the main thread may hold its lock, blocked in a write.
        const std::string text = std::string(m_showProgress ? "\r\033[K" : "") +
                                 "twinscope-cli: interrupted" + summaryLocked() + "\n";
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        _exit(exitStatus());
    }

    const bool m_showProgress;
    std::atomic<bool> m_done{false};
    std::atomic<int> m_signal{0};
    std::mutex m_mutex;
    bool m_atOnce = false;
    bool m_acknowledged = false;
    const WholeFileWriter* m_writer = nullptr;
    bool m_removals = false;
    const char* m_doneWord = "removed";
    std::vector<std::string> m_removed;
    std::thread m_thread;
};

// Removals ask nothing (the engine asks only about copies and moves); they count for the
// progress line.
class RemovalHost : public OperationHost {
public:
    explicit RemovalHost(Watcher& watcher) : m_watcher(watcher) {}
    bool askReplace() override { return false; }
    void warnRenamed() override {}
    void fileStarted(int number, const std::string&, const std::string&) override {
        gRemovalNumber = number;
    }
    void fileDone(const std::string& path) override { m_watcher.removed(path); }

private:
    Watcher& m_watcher;
};

// The picks of a selection rule, and what became of them.
struct Selection {
    std::vector<TFiles> listed; // the groups as found (a removal rebuilds the table)
    std::vector<ResultRow> rows;
    std::vector<char> picked;
    std::vector<char> kept; // picked, but left where it was
};

Selection selectFiles(const CliOptions& options, const std::vector<TFiles>& table) {
    Selection selection{table, buildRows(table), {}, {}};
    selection.picked = selectRows(selection.rows, table, *options.select, options.selectFolder);
    selection.kept.assign(selection.rows.size(), 0);
    return selection;
}

std::string listing(const Selection& selection) {
    return formatSelection(selection.listed, selection.picked, selection.kept);
}

// Removes the picked files; returns kExitRefused when one stayed.
int removePicked(const CliOptions& options, SharedState& state, RunControl& control,
                 Watcher& watcher, Selection& selection) {
    RemovalHost host(watcher);
    gRemovalCount =
        static_cast<int>(std::count(selection.picked.begin(), selection.picked.end(), 1));
    OperationRequest request;
    switch (options.action) {
    case RemovalAction::Trash:
        request.operation = FileOperation::Trash;
        break;
    case RemovalAction::HardLink:
        request.operation = FileOperation::HardLink;
        break;
    case RemovalAction::Reflink:
        request.operation = FileOperation::Reflink;
        break;
    default:
        request.operation = FileOperation::Delete;
    }
    gReplacing =
        request.operation == FileOperation::HardLink || request.operation == FileOperation::Reflink;
    FileOperationEngine engine(state.aDuplicatedFiles, host, control);
    engine.run(request, selection.rows, selection.picked);
    gRemovalCount = 0;
    for (const auto* list : {&engine.passedOver(), &engine.failures()}) {
        for (const OperationFailure& failure : *list)
            printError(std::string("not ") + actionDone(options.action) + ": " + failure.path +
                       ": " + failure.reason);
    }
    int status = kExitOk;
    for (std::size_t k = 0; k < selection.rows.size(); ++k) {
        if (selection.picked[k] && !engine.doneRows()[k]) {
            selection.kept[k] = 1;
            status = kExitRefused;
        }
    }
    return status;
}

// An output of the program (the output file, standard output, standard error) that is one of the
// files of the result: writing it would change a file the result lists, perhaps the copy a
// removal keeps.
std::optional<std::string> outputInResult(const CliOptions& options,
                                          const std::vector<TFiles>& result) {
    struct Output {
        std::string name;
        struct stat st {};
        bool known = false;
    };
    std::vector<Output> outputs(2);
    outputs[0].name = "standard error";
    outputs[0].known = ::fstat(STDERR_FILENO, &outputs[0].st) == 0;
    if (options.outputFile.empty()) {
        outputs[1].name = "standard output";
        outputs[1].known = ::fstat(STDOUT_FILENO, &outputs[1].st) == 0;
    } else {
        outputs[1].name = "--output \"" + options.outputFile + "\"";
        outputs[1].known = ::stat(options.outputFile.c_str(), &outputs[1].st) == 0;
    }
    for (const Output& output : outputs) {
        if (!output.known || !S_ISREG(output.st.st_mode))
            continue;
        for (const TFiles& file : result) {
            if (file.fDevice == output.st.st_dev && file.fInode == output.st.st_ino)
                return output.name + " is the file \"" + file.fullName() + "\" of the result";
        }
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    raiseOpenFileLimit();
    // A reader that goes away makes the write fail with a message, not end the program unheard.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    auto options = parseCliOptions(args, error);
    if (!options) {
        // One line, so that a script can show or log it as it is.
        printError(error + "; try 'twinscope-cli --help'");
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(kCliUsage, stdout);
        return kExitOk;
    }
    if (options->version) {
        std::printf("twinscope-cli %s\n", TWINSCOPE_VERSION_TEXT);
        return kExitOk;
    }
    if (!isExistingFolder(options->folder)) {
        printError("\"" + options->folder + "\" is not an existing folder");
        return kExitUsage;
    }
    for (const SearchFolder& further : options->search.scope.folders) {
        if (!isExistingFolder(further.path)) {
            printError("\"" + further.path + "\" is not an existing folder");
            return kExitUsage;
        }
    }
    if (!options->outputFile.empty()) {
        if (const auto reference =
                ReferenceFolders(options->search.scope.folders).holding(options->outputFile)) {
            printError("--output \"" + options->outputFile + "\" lies in the reference folder \"" +
                       *reference + "\", whose files are never changed");
            return kExitUsage;
        }
    }
    if (options->select && selectionRuleTakesFolder(*options->select) &&
        !isExistingFolder(options->selectFolder)) {
        // A mistyped folder would pick nothing and look like success.
        printError("in-folder: \"" + options->selectFolder + "\" is not an existing folder");
        return kExitUsage;
    }

    // Signals go to the watcher thread only, so the search itself is never interrupted
    // in the middle of a system call.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP); // a closed terminal
    sigaddset(&signals, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Left to the system at exit, which takes a million records back at once instead of one
    // by one.
    SharedState& state = *new SharedState;
    RunControl control;
    SearchProgress progress;
    SearchEngine engine(state, control, progress);
    const auto started = std::chrono::steady_clock::now();
    Watcher watcher(control, state, progress, !options->quiet && isatty(STDERR_FILENO));
    engine.run(options->folder, options->search.subfolders,
               options->search.searchOptions(options->cacheFile.empty() ? digestCacheFile()
                                                                        : options->cacheFile));
    if (watcher.interrupted()) {
        watcher.stop();
        printError("interrupted");
        return watcher.exitStatus();
    }
    if (!engine.folderProblem().empty()) {
        watcher.stop();
        printError(engine.folderProblem());
        return kExitUsage;
    }
    if (!engine.unreadFolders().empty())
        watcher.warn(engine.unreadFolders());
    if (!engine.scopeNote().empty() && !options->quiet)
        watcher.warn(engine.scopeNote());
    // Why a file may be missing from the result, unless asked for silence.
    if (engine.passedOver().any() && !options->quiet)
        watcher.warn("passed over: " + engine.passedOver().text());
    if (const auto clash = outputInResult(*options, state.aDuplicatedFiles)) {
        // Not even this message goes into a listed file.
        if (clash->rfind("standard error", 0) != 0)
            printError(*clash + "; nothing was written or removed; try 'twinscope-cli --help'");
        return kExitUsage;
    }
    // The digests are written once the result is out, which need not wait for them.
    auto saveDigests = [&] {
        watcher.endAtOnce(nullptr);
        engine.saveDigests();
        watcher.leaveToWork();
        if (!engine.cacheProblem().empty() && !options->quiet)
            printError(engine.cacheProblem());
    };
    WholeFileWriter output(options->outputFile);

    if (options->select) {
        saveDigests(); // before any file goes
        Selection selection = selectFiles(*options, state.aDuplicatedFiles);
        int status = kExitOk;
        // No rule picks every file of a group; this stays so whatever a rule may become.
        if (wholeGroupsTicked(selection.rows, selection.picked) != 0) {
            printError("internal error: a rule picked every file of a group; nothing was removed");
            selection.picked.assign(selection.rows.size(), 0);
            status = kExitRefused;
        } else if (options->action == RemovalAction::None && !options->quiet) {
            std::fputs("twinscope-cli: nothing was changed; --trash, --delete, --hardlink or "
                       "--reflink acts on the files marked [-]\n",
                       stderr);
        }
        if (options->action != RemovalAction::None && status == kExitOk) {
            // The listing is the only record of what was removed: it must be sure to be written
            // before anything is. It has the same size whichever files stay.
            watcher.expectRemovals(actionDone(options->action));
            watcher.endAtOnce(&output);
            const TransferResult prepared = output.prepare(listing(selection).size());
            watcher.leaveToWork();
            if (!prepared.ok) {
                printError(prepared.error + "; nothing was " + actionDone(options->action));
                return kExitWriteFailed;
            }
            // Ctrl-C during the removals ends them after the file under way; the listing then
            // shows what stayed.
            status = removePicked(*options, state, control, watcher, selection);
            if (watcher.interrupted()) {
                watcher.acknowledge();
                status = watcher.exitStatus();
            }
        } else {
            const TransferResult prepared = output.prepare(listing(selection).size());
            if (!prepared.ok) {
                printError(prepared.error);
                return kExitWriteFailed;
            }
        }
        watcher.endAtOnce(&output);
        const TransferResult written = output.write(listing(selection));
        watcher.stop();
        if (!written.ok) {
            printError(written.error + watcher.removalSummary());
            return watcher.interrupted() ? watcher.exitStatus() : kExitWriteFailed;
        }
        if (watcher.interrupted())
            printError("interrupted" + watcher.removalSummary());
        return status;
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();

    SearchSummary summary{options->folder,
                          options->search.scope.folders,
                          state.iFilesFounded.load(),
                          elapsedTimeText(static_cast<std::int64_t>(seconds)),
                          currentDateText(),
                          currentTimeText(),
                          engine.passedOver()};
    auto writeListing = [&](const TextSink& out) {
        switch (options->format) {
        case OutputFormat::Report:
            formatReport(summary, state.aDuplicatedFiles, out);
            break;
        case OutputFormat::Fdupes:
            formatFdupes(state.aDuplicatedFiles, out);
            break;
        case OutputFormat::Json:
            formatJson(summary, state.aDuplicatedFiles, out);
            break;
        }
    };
    // Made twice rather than held: once for its size, so that the room is taken before a byte
    // is written, then in pieces of a megabyte.
    std::size_t size = 0;
    writeListing([&](std::string_view text) { size += text.size(); });
    watcher.endAtOnce(&output);
    TransferResult written = output.prepare(size);
    std::string piece;
    auto flush = [&] {
        if (written.ok)
            written = output.append(piece);
        piece.clear();
    };
    writeListing([&](std::string_view text) {
        piece += text;
        if (piece.size() >= (1 << 20))
            flush();
    });
    flush();
    if (written.ok)
        written = output.finish();
    watcher.leaveToWork();
    // The result is out: its records are not needed while the digests are written, which then
    // take no more memory than the search did.
    std::string().swap(piece);
    std::vector<TFiles>().swap(state.aDuplicatedFiles);
    if (!written.ok)
        printError(written.error);
    saveDigests();
    watcher.stop();
    return written.ok ? kExitOk : kExitWriteFailed;
}
