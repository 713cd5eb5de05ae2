#pragma once

#include "platform/UniqueFd.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Where a file really lies: a file seen through an overlay mount is the file of one of its
// layers, and both paths lead to the same bytes though their device numbers differ.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The overlay mounts of this process, as the mount table names them with their layers, so that
// a file reached through an overlay and through one of its layer folders counts as one file.
class OverlayMounts {
public:
    struct Overlay {
        std::uint64_t device = 0; // of the files and folders seen through it
        std::string mountPoint;
        std::string root;                // the folder of the overlay mounted there ("/" mostly)
        std::vector<std::string> layers; // the upper folder first, then the lower ones in order
    };

    // The overlays of /proc/self/mountinfo; none when it cannot be read.
    static OverlayMounts current();
    // The overlays of a text in the format of /proc/self/mountinfo.
    static OverlayMounts parse(const std::string& mountinfo);

    bool empty() const { return m_overlays.empty(); }
    const std::vector<Overlay>& overlays() const { return m_overlays; }
    // Whether a file of this device may also be seen through an overlay: it is the device of a
    // layer folder.
    bool holdsLayers(std::uint64_t device) const;

    // The layer folders behind `folder`, an open folder of device `device`, upper first: empty
    // when it is not on an overlay or none of its layers can be reached.
    std::vector<UniqueFd> layersOf(int folder, std::uint64_t device) const;

    // The file behind `name` in a folder with these layers: that of the first layer that holds
    // it, itself followed through an overlay below. Nothing when no layer holds it.
    std::optional<FileIdentity> layerFile(const std::vector<UniqueFd>& layers,
                                          const char* name) const;

    // The identity of the file `name` in the open folder `folder` (device `device`): that of
    // its layer file when the folder is on an overlay, else `seen`.
    FileIdentity realIdentity(int folder, std::uint64_t device, const char* name,
                              FileIdentity seen) const;

private:
    std::vector<Overlay> m_overlays;
    std::vector<std::uint64_t> m_layerDevices;
};
