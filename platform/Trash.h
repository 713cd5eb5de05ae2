#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// The trash folders of one user, where the freedesktop.org trash rules place them.
struct TrashLocations {
    // The home trash, for files on its file system: $XDG_DATA_HOME/Trash.
    std::string homeTrash;
    // Names the trash on other file systems ($topdir/.Trash/$uid, $topdir/.Trash-$uid) and must
    // own it.
    uid_t uid = 0;

    // This process's user: $XDG_DATA_HOME/Trash (else ~/.local/share/Trash) and the effective uid.
    static TrashLocations forUser();
};

// The outcome of moving a file to the trash; `error` says why the file stayed, for the user.
struct TrashResult {
    bool ok = true;
    std::string error;
    // Where the file went (files/NAME) and its record (info/NAME.trashinfo).
    std::string trashedFile;
    std::string infoFile;
};

// Moves one file (anything but a folder; a symbolic link goes itself) to the trash of its file
// system: the home trash when it lies on the same mount, else $topdir/.Trash/$uid or
// $topdir/.Trash-$uid of the file's mount. The record info/NAME.trashinfo is made first (under a
// name free in both files/ and info/), then the file is renamed into files/NAME without ever
// replacing anything. A file no trash of its own file system can take is refused: it is never
// copied to another file system, nor deleted.
TrashResult moveToTrash(const std::string& path,
                        const TrashLocations& where = TrashLocations::forUser());

// The same for the entry `current` of the open folder `folder` (whose path is `folderPath`),
// recorded in the trash as the file `original` of that folder: a file set aside under a
// private name goes to the trash under its own.
TrashResult moveToTrashAt(int folder, const std::string& folderPath, const std::string& current,
                          const std::string& original,
                          const TrashLocations& where = TrashLocations::forUser());

// A path as the Path key of a .trashinfo holds it: every byte but unreserved URL characters and
// "/" as %XX, so any file name (spaces, "%", line feeds, bytes that are not UTF-8) fits one line.
std::string encodeTrashPath(const std::string& path);

// The bytes of an escaped path; nothing when a "%" is not followed by two hex digits.
std::optional<std::string> decodeTrashPath(const std::string& text);

// The original path recorded by a .trashinfo file; a relative Path is taken from `topdir`, the
// top folder of the mount whose trash holds the record. Nothing when the file cannot be read or
// has no valid Path.
std::optional<std::string> restoredPath(const std::string& infoFile, const std::string& topdir);
