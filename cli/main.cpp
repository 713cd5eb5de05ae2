#include "cli/CliOptions.h"
#include "cli/CliOutput.h"
#include "operations/FileOperationEngine.h"
#include "operations/FileTransfer.h"
#include "operations/Selection.h"
#include "platform/FileTime.h"
#include "platform/OpenFileLimit.h"
#include "platform/SpecialFolders.h"
#include "platform/ThreadName.h"
#include "search/RunControl.h"
#include "search/SearchEngine.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "tools/GeneralTools.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitWriteFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitInterrupted = 130;

void printError(const std::string& message) {
    std::fprintf(stderr, "twinscope-cli: %s\n", message.c_str());
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        written += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeOutput(const CliOptions& options, const std::string& bytes) {
    if (options.outputFile.empty()) {
        if (!writeAll(STDOUT_FILENO, bytes)) {
            printError(std::string("cannot write the result: ") + std::strerror(errno));
            return false;
        }
        return true;
    }
    const TransferResult written = writeWholeFile(options.outputFile, bytes);
    if (!written.ok)
        printError(written.error);
    return written.ok;
}

// The removals under way, for the progress line: the file number and how many were picked.
std::atomic<int> gRemovalNumber{0};
std::atomic<int> gRemovalCount{0};

std::string progressLine(const SharedState& state, const SearchProgress& progress) {
    if (gRemovalCount.load() > 0)
        return "Removing files: " + std::to_string(gRemovalNumber.load()) + "/" +
               std::to_string(gRemovalCount.load());
    switch (state.FinderOperation.load()) {
    case FinderPhase::None:
        return "Searching for files: " + std::to_string(state.iFilesFounded.load()) + " found";
    case FinderPhase::MatchFiles: {
        std::string line = "Matching files: " + std::to_string(state.iBar.load() + 1) + "/" +
                           std::to_string(state.iFilesFounded.load()) + ", " +
                           std::to_string(state.iDuplicatedFiles.load()) + " duplicated";
        int percent = progress.hashPercent();
        if (percent >= 0)
            line += ", hash " + std::to_string(percent) + "%";
        return line;
    }
    case FinderPhase::PopulateList:
        break;
    }
    return {};
}

// Blocked in every thread; only ever sent to the watcher to end its wait.
constexpr int kWakeSignal = SIGUSR2;

// Waits for Ctrl-C or SIGTERM beside the search and, on a terminal, shows its progress.
class Watcher {
public:
    Watcher(RunControl& control, const SharedState& state, const SearchProgress& progress,
            bool showProgress)
        : m_thread([this, &control, &state, &progress, showProgress] {
              setThreadName("twinscope-watch");
              sigset_t signals;
              sigemptyset(&signals);
              sigaddset(&signals, SIGINT);
              sigaddset(&signals, SIGTERM);
              sigaddset(&signals, kWakeSignal);
              const timespec tick{0, 100'000'000};
              while (!m_done.load()) {
                  const int received = sigtimedwait(&signals, nullptr, &tick);
                  if (received == SIGINT || received == SIGTERM) {
                      m_interrupted = true;
                      control.requestTerminate();
                  }
                  if (showProgress)
                      std::fprintf(stderr, "\r\033[K%s", progressLine(state, progress).c_str());
              }
              if (showProgress)
                  std::fprintf(stderr, "\r\033[K");
          }) {}

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

    bool interrupted() const { return m_interrupted.load(); }

private:
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_interrupted{false};
    std::thread m_thread;
};

// Removals ask nothing (the engine asks only about copies and moves); they count for the
// progress line.
class RemovalHost : public OperationHost {
public:
    bool askReplace() override { return false; }
    void warnRenamed() override {}
    void fileStarted(int number, const std::string&, const std::string&) override {
        gRemovalNumber = number;
    }
};

// A folder's real path with a trailing "/", so that in-folder compares folders however they
// were written (relative, through links); the text as it is when it cannot be resolved.
std::string realFolder(const std::string& folder) {
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real == nullptr)
        return folder;
    std::string text(real);
    std::free(real);
    return text == "/" ? text : text + "/";
}

// Picks files of each group by the rule and, with an action, removes them; returns the listing
// and sets `status` to kExitRefused when a picked file stayed.
std::string selectAndRemove(const CliOptions& options, SharedState& state, RunControl& control,
                            int& status) {
    std::vector<TFiles>& table = state.aDuplicatedFiles;
    const std::vector<TFiles> listed = table; // the removal rebuilds the table
    const std::vector<ResultRow> rows = buildRows(table);
    std::vector<ResultRow> compared = rows;
    std::string folder = options.selectFolder;
    if (*options.select == SelectionRule::InFolder) {
        folder = realFolder(folder);
        std::unordered_map<std::string, std::string> real;
        for (ResultRow& row : compared) {
            auto [known, added] = real.try_emplace(row.folder);
            if (added)
                known->second = realFolder(row.folder);
            row.folder = known->second;
        }
    }
    const std::vector<char> picked = selectRows(compared, table, *options.select, folder);
    std::vector<char> kept(rows.size(), 0);
    // No rule picks every file of a group; this stays so whatever a rule may become.
    if (wholeGroupsTicked(rows, picked) != 0) {
        printError("internal error: a rule picked every file of a group; nothing was removed");
        status = kExitRefused;
        return formatSelection(listed, std::vector<char>(rows.size(), 0), kept);
    }
    if (options.action != RemovalAction::None) {
        RemovalHost host;
        gRemovalCount = static_cast<int>(std::count(picked.begin(), picked.end(), 1));
        OperationRequest request;
        request.operation =
            options.action == RemovalAction::Trash ? FileOperation::Trash : FileOperation::Delete;
        FileOperationEngine engine(table, host, control);
        engine.run(request, rows, picked);
        gRemovalCount = 0;
        for (const auto* list : {&engine.passedOver(), &engine.failures()}) {
            for (const OperationFailure& failure : *list)
                printError("not removed: " + failure.path + ": " + failure.reason);
        }
        for (std::size_t k = 0; k < rows.size(); ++k) {
            if (picked[k] && !engine.doneRows()[k]) {
                kept[k] = 1;
                status = kExitRefused;
            }
        }
    } else if (!options.quiet) {
        std::fputs("twinscope-cli: nothing was changed; --trash or --delete removes the files "
                   "marked [-]\n",
                   stderr);
    }
    return formatSelection(listed, picked, kept);
}

} // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    raiseOpenFileLimit();
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
    if (options->select && selectionRuleTakesFolder(*options->select) &&
        !isExistingFolder(options->selectFolder)) {
        // A mistyped folder would pick nothing and look like success.
        printError("in-folder: \"" + options->selectFolder + "\" is not an existing folder");
        return kExitUsage;
    }
    if (options->action != RemovalAction::None && !options->outputFile.empty()) {
        // The listing is the only record of what was removed: make sure it can be written
        // before anything is.
        const TransferResult probe = canWriteWholeFile(options->outputFile);
        if (!probe.ok) {
            printError(probe.error + "; nothing was removed");
            return kExitWriteFailed;
        }
    }

    // Signals go to the watcher thread only, so the search itself is never interrupted
    // in the middle of a system call.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, kWakeSignal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SharedState state;
    RunControl control;
    SearchProgress progress;
    SearchEngine engine(state, control, progress);
    const auto started = std::chrono::steady_clock::now();
    Watcher watcher(control, state, progress, !options->quiet && isatty(STDERR_FILENO));
    if (!options->noCache)
        options->search.digestCache =
            options->cacheFile.empty() ? digestCacheFile() : options->cacheFile;
    engine.run(options->folder, options->subfolders, options->search);
    // The digests are written once the result is out, which need not wait for them.
    auto saveDigests = [&] {
        engine.saveDigests();
        if (!engine.cacheProblem().empty() && !options->quiet)
            printError(engine.cacheProblem());
    };
    if (watcher.interrupted()) {
        watcher.stop();
        printError("interrupted");
        return kExitInterrupted;
    }
    if (options->select) {
        // Ctrl-C during the removals ends them after the file under way; the listing then
        // shows what stayed.
        int status = kExitOk;
        saveDigests(); // before any file goes
        const std::string listing = selectAndRemove(*options, state, control, status);
        watcher.stop();
        if (watcher.interrupted()) {
            printError("interrupted");
            status = kExitInterrupted;
        }
        return writeOutput(*options, listing) ? status : kExitWriteFailed;
    }
    watcher.stop();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started)
            .count();

    SearchSummary summary{options->folder, state.iFilesFounded.load(),
                          elapsedTimeText(static_cast<std::int64_t>(seconds)), currentDateText(),
                          currentTimeText()};
    std::string output;
    switch (options->format) {
    case OutputFormat::Report:
        output = formatReport(summary, state.aDuplicatedFiles);
        break;
    case OutputFormat::Fdupes:
        output = formatFdupes(state.aDuplicatedFiles);
        break;
    case OutputFormat::Json:
        output = formatJson(summary, state.aDuplicatedFiles);
        break;
    }
    const bool written = writeOutput(*options, output);
    std::string().swap(output);
    saveDigests();
    return written ? kExitOk : kExitWriteFailed;
}
