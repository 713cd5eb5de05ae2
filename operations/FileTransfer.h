#pragma once

#include "operations/CheckedFile.h"
#include "platform/Trash.h"
#include "platform/UniqueFd.h"
#include "search/TFiles.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class RunControl;

// The outcome of one file operation; `error` says why it failed, for the user.
struct TransferResult {
    bool ok = true;
    std::string error;
};

// stem + " (" + number + ")" + extension, the extension taken from the last "." of the name.
std::string numberedName(const std::string& name, int number);

// The first numbered name (from 1) that nothing takes in `folder` (folder ends in "/", or an
// open folder): a folder or a link of that name takes it too, as no file can be put there.
std::string freeNumberedName(const std::string& folder, const std::string& name);
std::string freeNumberedName(int folder, const std::string& name);

// Whether anything (a file, a folder, a link) has that name in the open folder.
bool nameTakenIn(int folder, const std::string& name);

// Whether a file (not a folder) of that name exists, links followed.
bool fileExists(const std::string& path);

enum class CopyMode {
    CreateNew, // fail if the destination exists by the time the copy is complete
    Replace,   // replace an existing destination, atomically
};

// Receives the per-file bar's position in percent.
using CopyProgress = std::function<void(int percent)>;

constexpr std::size_t kCopyChunkSize = 16384;

// Copies the content of `source` to `destination` in chunks of 16 KiB, reporting progress as the
// per-file bar shows it. The bytes go to a temporary file in the destination folder that takes
// the destination's name only when complete and flushed, so a failure never leaves a partial
// file nor touches an existing destination. A destination that is the source itself, by any
// path, fails like a destination that cannot be created. `control` is passed between chunks as
// a pause gate; a copy under way is finished even when the run is cancelled. The copy has the
// source's times and, as cp makes it, the source's permissions minus the umask (no set-ID bits).
TransferResult CopyFileWP(const std::string& source, const std::string& destination, CopyMode mode,
                          const CopyProgress& bar = nullptr, RunControl* control = nullptr);

// The same from a file held open, into the open folder `folder` as `target` (`destination` is
// its whole path, for messages).
TransferResult copyCheckedFile(const CheckedFile& source, int folder, const std::string& target,
                               const std::string& destination, CopyMode mode,
                               const CopyProgress& bar = nullptr, RunControl* control = nullptr);

// Writes `bytes` as the whole content of `fileName`, made or replaced. A regular file is written
// to a temporary file in its folder that takes its name only when complete and flushed, so a
// failure (a full disk) leaves any previous file as it was and no temporary behind. A new file
// gets the mode a plain create gives (0666 minus the umask); a replaced one keeps its mode, and
// its owner and group where this user may set them; a file this user may not write is not
// replaced. Symbolic links are followed and stay links. Anything else (a pipe, a terminal,
// /dev/stdout) is written in place.
TransferResult writeWholeFile(const std::string& fileName, std::string_view bytes);

// writeWholeFile in two steps, for a text whose size is known before the text itself: prepare()
// opens what will be written and takes the room for the text (the temporary file holds that many
// bytes from the start; standard output on a file has the space reserved; a pipe, terminal or
// device is opened, waiting for a pipe's reader, and tried with a write of nothing), so that what
// keeps the text from being written shows before anything else is done; write() writes it and
// puts it in place. The file name "" is standard output.
class WholeFileWriter {
public:
    explicit WholeFileWriter(std::string fileName);
    // A temporary file not put in place is removed.
    ~WholeFileWriter();
    WholeFileWriter(const WholeFileWriter&) = delete;
    WholeFileWriter& operator=(const WholeFileWriter&) = delete;

    TransferResult prepare(std::size_t size);
    TransferResult write(std::string_view bytes);
    // The same as write, in pieces: the text is complete (and in place) once finish succeeds.
    TransferResult append(std::string_view bytes);
    TransferResult finish();
    // The temporary file while there is one, for a program that must end at once to remove.
    const std::string& temporary() const { return m_temporary; }

private:
    void abandon();
    std::string shownName() const;

    std::string m_fileName;
    std::string m_target; // the file at the end of any links
    std::string m_temporary;
    UniqueFd m_out;
    bool m_inPlace = true;
    std::size_t m_written = 0; // into the temporary file
    bool m_rewound = false;    // past the zeros that may have taken the room
};

// The last steps of removeChecked for a file set aside: it is moved on into the open folder
// `folder` as `target` without ever replacing a file (across file systems it is copied, with
// its progress given to `bar`, flushed and checked, and only then removed; the copy keeps what a
// rename keeps: times, mode, and owner and group where this user may set them, a mode narrowed for
// those that could not be kept); it is deleted; or it goes to the desktop trash under its own name.
FinalStep moveOnStep(int folder, const std::string& target, const std::string& destination,
                     RunControl* control = nullptr, const CopyProgress& bar = nullptr);
FinalStep deleteStep();
FinalStep trashStep(const TrashLocations& where);

// Moves a file without ever replacing an existing one; a failed move leaves the source where it
// was. The file moved is the one opened at `source`.
TransferResult moveFile(const std::string& source, const std::string& destination,
                        RunControl* control = nullptr);

// Deletes the file of `target` as removeChecked allows: unchanged since the search and, with a
// `keeper` (a file of its group that stays), holding the keeper's bytes. A digest alone must
// never cost a file.
TransferResult deleteVerified(const TFiles& target, const TFiles* keeper,
                              const RemovalSeam& seam = nullptr);

// Moves the file of `target` to the desktop trash on the same terms; a file no trash of its own
// file system can take stays where it is.
TransferResult trashVerified(const TFiles& target, const TFiles* keeper,
                             const TrashLocations& where, const RemovalSeam& seam = nullptr);
