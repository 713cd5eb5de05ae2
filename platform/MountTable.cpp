#include "platform/MountTable.h"

#include "platform/LongPath.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

std::string unescapeMountField(const std::string& field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

std::vector<std::string> parseMountPoints(const char* mountinfo) {
    // "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw": the fifth field.
    std::vector<std::string> points;
    for (const char* line = mountinfo; *line != '\0';) {
        const char* end = std::strchr(line, '\n');
        if (end == nullptr)
            end = line + std::strlen(line);
        const char* field = line;
        for (int k = 0; k < 4 && field != end; ++k) {
            while (field != end && *field != ' ')
                ++field;
            while (field != end && *field == ' ')
                ++field;
        }
        const char* fieldEnd = field;
        while (fieldEnd != end && *fieldEnd != ' ')
            ++fieldEnd;
        if (fieldEnd != field)
            points.push_back(unescapeMountField(std::string(field, fieldEnd)));
        line = *end == '\n' ? end + 1 : end;
    }
    return points;
}

bool fileMountsListed() {
    UniqueFd fd(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!fd || !readRest(fd.get(), text))
        return true;
    for (const std::string& point : parseMountPoints(text.c_str())) {
        struct stat st {};
        if (stat(point.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return true;
    }
    return false;
}

std::optional<bool> fileIdentityIsStable(const std::string& folder) {
    // The magic numbers of <linux/magic.h>; some are not in the headers of every system. Image
    // file systems (squashfs, ISO 9660, EROFS, cramfs, romfs) give change times that mirror the
    // modification times and the same inode numbers in every image built from the same tree, so
    // an image swapped under the same path looks unchanged; so does an overlay stacked on one.
    static constexpr long kUnfit[] = {
        0x4d44,     // FAT
        0x2011BAB0, // exFAT
        0x65735546, // FUSE
        0x73717368, // squashfs
        0x9660,     // ISO 9660
        0xE0F5E1E2, // EROFS
        0x28cd3d45, // cramfs
        0x7275,     // romfs
        0x794c7630, // overlay
    };
    UniqueFd fd(openFolder(folder));
    struct statfs about {};
    if (!fd || fstatfs(fd.get(), &about) != 0)
        return std::nullopt;
    const long type = static_cast<long>(about.f_type);
    for (const long unfit : kUnfit) {
        if (type == unfit)
            return false;
    }
    return true;
}
