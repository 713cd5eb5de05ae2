#include "cli/CliOptions.h"

#include <initializer_list>

const char* const kCliUsage =
    "Usage: twinscope-cli [options] FOLDER...\n"
    "Find files with identical contents in the FOLDERs and print them group by group.\n"
    "A file reached from two FOLDERs is one file; the report names the first FOLDER.\n"
    "\n"
    "Options:\n"
    "  --hash sha1|md5          digest to compare files with (default sha1)\n"
    "  --speed fast|normal      fast: digest only files whose size another file shares;\n"
    "                           normal: digest every file (default fast)\n"
    "  --reference FOLDER       search FOLDER too, as a reference: its files are compared and\n"
    "                           listed but never picked or removed, and a group of its files\n"
    "                           only is not listed; may be given more than once\n"
    "  --no-subfolders          search the FOLDERs only, not their subfolders\n"
    "  --include-empty          include files of size 0 (they form one group)\n"
    "  --min-size SIZE          leave out files smaller than SIZE (bytes, or with K, M, G, T\n"
    "                           for powers of 1024); files of size 0 go by --include-empty\n"
    "  --max-size SIZE          leave out files larger than SIZE\n"
    "  --exclude PATTERN        leave out files and folders whose name matches PATTERN (a\n"
    "                           shell pattern such as *.tmp), or, with a \"/\" in it, whose\n"
    "                           path below its FOLDER matches it (cache/*.bin; ** at any\n"
    "                           depth); one ending with \"/\" matches folders only; a folder\n"
    "                           left out is not entered; may be given more than once\n"
    "  --format report|fdupes|json\n"
    "                           report: the saved-report text (default);\n"
    "                           fdupes: one path per line, groups separated by an empty line;\n"
    "                           json: an object with the folders and the groups\n"
    "  --output FILE            write the result to FILE instead of standard output\n"
    "  --select RULE            pick the files of each group to remove, keeping at least one:\n"
    "                           all-but-one (all but the first listed), all-but-newest,\n"
    "                           all-but-oldest, all-but-shortest-path, in-folder:DIR (the\n"
    "                           files under DIR); a group with a reference file keeps it and\n"
    "                           picks all its other files; prints each group with [+] for a\n"
    "                           file kept and [-] for one picked; without one of the four\n"
    "                           actions below nothing is changed\n"
    "  --trash                  move the picked files to the desktop trash\n"
    "  --delete                 delete the picked files for good\n"
    "  --hardlink               replace each picked file by a hard link of the file its\n"
    "                           group keeps (its reference file, or the first not picked):\n"
    "                           one file under both names, with the kept file's owner,\n"
    "                           mode and times; only within one file system\n"
    "  --reflink                replace each picked file by a reflink of the kept file: a\n"
    "                           file of its own, with its own owner, mode and times, whose\n"
    "                           data shares the kept file's blocks (Btrfs, XFS and other\n"
    "                           file systems that share blocks; never a copy)\n"
    "  --no-cache               neither read nor keep digests of earlier searches\n"
    "  --cache-file FILE        keep digests between searches in FILE instead of\n"
    "                           ~/.cache/hollowbright/Twinscope/digests.sqlite\n"
    "  --quiet                  show no progress on standard error\n"
    "  --help                   show this help and exit\n"
    "  --version                show the version and exit\n"
    "\n"
    "Exit status: 0 when the search finished (and every picked file was removed or\n"
    "replaced), 1 when the result could not be written, 2 for bad usage or a FOLDER that\n"
    "is not a folder, 3 when a picked file was left as it was (each named on standard\n"
    "error),\n"
    "130 when interrupted (Ctrl-C), 143 when ended by SIGTERM, 129 on SIGHUP.\n";

namespace {

constexpr RemovalAction kActions[] = {RemovalAction::Trash, RemovalAction::Delete,
                                      RemovalAction::HardLink, RemovalAction::Reflink};

std::optional<RemovalAction> actionOf(const std::string& arg) {
    for (RemovalAction action : kActions) {
        if (arg == actionOption(action))
            return action;
    }
    return std::nullopt;
}

} // namespace

const char* actionOption(RemovalAction action) {
    switch (action) {
    case RemovalAction::Trash:
        return "--trash";
    case RemovalAction::Delete:
        return "--delete";
    case RemovalAction::HardLink:
        return "--hardlink";
    case RemovalAction::Reflink:
        return "--reflink";
    case RemovalAction::None:
        break;
    }
    return "";
}

const char* actionDone(RemovalAction action) {
    return action == RemovalAction::HardLink || action == RemovalAction::Reflink ? "replaced"
                                                                                 : "removed";
}

std::optional<CliOptions> parseCliOptions(const std::vector<std::string>& args,
                                          std::string& error) {
    CliOptions options;
    bool folderSeen = false;
    bool formatGiven = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](const std::string& name) -> std::optional<std::string> {
            std::string prefix = name + "=";
            if (arg.rfind(prefix, 0) == 0)
                return arg.substr(prefix.size());
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        // The value of an option that names something: never empty.
        auto named = [&](const std::string& name, const char* what) -> std::optional<std::string> {
            auto v = value(name);
            if (v && v->empty()) {
                error = name + " needs " + what;
                return std::nullopt;
            }
            return v;
        };
        // The value of an option that takes one of a few words.
        auto choice =
            [&](const std::string& name,
                std::initializer_list<const char*> allowed) -> std::optional<std::string> {
            auto v = value(name);
            if (!v)
                return std::nullopt;
            std::string words;
            for (const char* word : allowed) {
                if (*v == word)
                    return v;
                words += words.empty() ? word : std::string("|") + word;
            }
            error = name + " must be " + words + ", not \"" + *v + "\"";
            return std::nullopt;
        };
        auto isOption = [&](const std::string& name) {
            return arg == name || arg.rfind(name + "=", 0) == 0;
        };
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg.empty()) {
                error = "an empty FOLDER was given";
                return std::nullopt;
            }
            // The first FOLDER is the main one, which the report names; the others follow it.
            if (folderSeen)
                options.search.scope.folders.push_back({arg, false});
            else
                options.folder = arg;
            folderSeen = true;
        } else if (isOption("--reference")) {
            auto v = named("--reference", "a folder");
            if (!v)
                return std::nullopt;
            options.search.scope.folders.push_back({*v, true});
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else if (arg == "--no-cache") {
            options.search.rememberDigests = false;
        } else if (isOption("--cache-file")) {
            auto v = named("--cache-file", "a file name");
            if (!v)
                return std::nullopt;
            options.cacheFile = *v;
        } else if (arg == "--no-subfolders") {
            options.search.subfolders = false;
        } else if (arg == "--include-empty") {
            options.search.ignoreEmptyFiles = false;
        } else if (isOption("--min-size") || isOption("--max-size")) {
            const std::string name = arg.substr(0, 10);
            auto v = value(name);
            if (!v)
                return std::nullopt;
            const std::optional<std::int64_t> size = parseSize(*v);
            if (!size) {
                error = name + " must be a size such as 4096, 64K or 2G, not \"" + *v + "\"";
                return std::nullopt;
            }
            (name == "--min-size" ? options.search.scope.minSize : options.search.scope.maxSize) =
                *size;
        } else if (isOption("--exclude")) {
            auto v = named("--exclude", "a pattern");
            if (!v)
                return std::nullopt;
            options.search.scope.excludes.push_back(*v);
        } else if (isOption("--hash")) {
            auto v = choice("--hash", {"sha1", "md5"});
            if (!v)
                return std::nullopt;
            options.search.hash = *hashFromName(*v);
        } else if (isOption("--speed")) {
            auto v = choice("--speed", {"fast", "normal"});
            if (!v)
                return std::nullopt;
            options.search.searchSpeed = *speedFromName(*v);
        } else if (isOption("--format")) {
            auto v = choice("--format", {"report", "fdupes", "json"});
            if (!v)
                return std::nullopt;
            formatGiven = true;
            options.format = *v == "report"   ? OutputFormat::Report
                             : *v == "fdupes" ? OutputFormat::Fdupes
                                              : OutputFormat::Json;
        } else if (isOption("--output")) {
            auto v = named("--output", "a file name");
            if (!v)
                return std::nullopt;
            options.outputFile = *v;
        } else if (isOption("--select")) {
            auto v = value("--select");
            if (!v)
                return std::nullopt;
            std::string name = *v;
            const std::size_t colon = name.find(':');
            if (colon != std::string::npos) {
                options.selectFolder = name.substr(colon + 1);
                name.resize(colon);
            }
            options.select = parseSelectionRule(name);
            if (!options.select || *options.select == SelectionRule::ClearAll) {
                error = "--select must be all-but-one|all-but-newest|all-but-oldest|"
                        "all-but-shortest-path|in-folder:DIR, not \"" +
                        *v + "\"";
                return std::nullopt;
            }
            if (selectionRuleTakesFolder(*options.select) == options.selectFolder.empty()) {
                error = selectionRuleTakesFolder(*options.select)
                            ? "--select in-folder needs a folder: in-folder:DIR"
                            : "--select " + name + " takes no folder";
                return std::nullopt;
            }
        } else if (const std::optional<RemovalAction> action = actionOf(arg)) {
            if (options.action != RemovalAction::None && options.action != *action) {
                error = std::string(actionOption(options.action)) + " and " + arg +
                        " exclude each other: one action at a time";
                return std::nullopt;
            }
            options.action = *action;
        } else {
            error =
                "unknown option \"" + arg + "\" (a FOLDER that begins with \"-\" goes after --)";
            return std::nullopt;
        }
    }
    if (!folderSeen && !options.help && !options.version) {
        error = "no FOLDER given";
        return std::nullopt;
    }
    const SearchScope& scope = options.search.scope;
    if (scope.maxSize >= 0 && scope.maxSize < scope.minSize) {
        error = "--max-size is smaller than --min-size";
        return std::nullopt;
    }
    if (!options.search.rememberDigests && !options.cacheFile.empty()) {
        error = "--cache-file does not go with --no-cache";
        return std::nullopt;
    }
    if (options.select && formatGiven) {
        error = "--select prints its own listing; --format does not go with it";
        return std::nullopt;
    }
    if (options.action != RemovalAction::None && !options.select) {
        error =
            std::string(actionOption(options.action)) + " needs --select RULE to pick the files";
        return std::nullopt;
    }

    return options;
}
