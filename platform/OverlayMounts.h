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
// a file reached through an overlay and through one of its layer folders counts as one file,
// and nothing in the folders of a mounted overlay is changed behind its back.
class OverlayMounts {
public:
    struct Overlay {
        std::uint64_t device = 0; // of the files and folders seen through it
        std::string mountPoint;
        std::string root;                  // the folder of the overlay mounted there ("/" mostly)
        std::vector<std::string> layers;   // the upper folder first, then the lower ones in order
        std::vector<std::string> dataOnly; // lower folders reached by redirects only
        std::string work;                  // its work folder
    };

    // The layer folders behind one folder seen through an overlay, upper first.
    struct Layers {
        const Overlay* overlay = nullptr;
        std::vector<std::pair<std::size_t, UniqueFd>> folders; // index in overlay->layers
        bool empty() const { return folders.empty(); }
    };

    // The overlays of /proc/self/mountinfo; none when it cannot be read.
    static OverlayMounts current();
    // The overlays of a text in the format of /proc/self/mountinfo.
    static OverlayMounts parse(const std::string& mountinfo);

    bool empty() const { return m_overlays.empty(); }
    const std::vector<Overlay>& overlays() const { return m_overlays; }

    // Whether files of this device are seen through an overlay mount.
    bool isOverlayDevice(std::uint64_t device) const;
    // The mount point of the overlay that uses this folder as a layer or work folder.
    std::optional<std::string> overlayUsing(FileIdentity folder) const;
    // The mount point of the overlay one of whose layer or work folders holds the open folder
    // `folder` (or is it): a file there must not change while the overlay is mounted.
    std::optional<std::string> overlayHolding(int folder) const;

    // The layer folders behind `folder`, an open folder of device `device`: empty when it is not
    // on an overlay or none of its layers can be reached.
    Layers layersOf(int folder, std::uint64_t device) const;

    // The file behind `name` in a folder with these layers: the first layer's that holds it, or
    // for a copy of metadata only, the lower file that holds its data; itself followed through
    // an overlay below. Nothing when no layer holds it.
    std::optional<FileIdentity> layerFile(const Layers& layers, const std::string& name) const;

    // The identity of the file `name` in the open folder `folder` (device `device`): that of
    // its layer file when the folder is on an overlay, else `seen`.
    FileIdentity realIdentity(int folder, std::uint64_t device, const std::string& name,
                              FileIdentity seen) const;

private:
    std::optional<FileIdentity> fileIn(int folder, const std::string& name) const;

    std::vector<Overlay> m_overlays;
    // The layer and work folders, with the index of their overlay.
    std::vector<std::pair<FileIdentity, std::size_t>> m_usedFolders;
};
