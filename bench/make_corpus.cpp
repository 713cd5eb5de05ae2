// Writes deterministic test trees for the benchmarks: the same arguments always give the same
// files, byte for byte.
//
//   twinscope-make-corpus small|mixed|large|near|tiny|flat FOLDER
//
//   small  20,000 small files, about 18% duplicates, same-size files that differ
//   mixed  100,000 files of log-normal sizes (median a few KiB, some tens of MiB), duplicates,
//          same-size traps that differ in the first bytes and traps that differ in the last byte
//   large  about 120 files of 8 to 40 MiB, half of them duplicated
//   near   about 160 files of 8 to 40 MiB sharing few sizes: copies, and near-copies that
//          differ from another file of their size only in the last byte
//   sameN-start, sameN-middle, sameN-end
//          about 2 GB of files of 1 to 64 MiB in groups of N of one size: copies, and
//          near-copies that differ from the group's original in one byte near the start, in the
//          middle or near the end
//   tiny   1,000,000 empty or tiny files in a deep tree
//   flat   the files of "tiny" in one folder

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    double normal() {
        double u = std::max(uniform(), 1e-12);
        return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * M_PI * uniform());
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
};

// One file to write: its content is the stream of `seed`, `size` bytes long, with the byte at
// `flipAt` flipped (counted from 1; 0 for none, `size` for the last byte).
struct Spec {
    std::uint64_t seed;
    std::uint64_t size;
    std::uint64_t flipAt = 0;
};

void fail(const std::string& what) {
    std::fprintf(stderr, "twinscope-make-corpus: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

void makeFolders(const std::string& path) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos == path.size() || path[pos] == '/') {
            std::string part = path.substr(0, pos);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                fail("mkdir " + part);
        }
    }
}

void writeFile(const std::string& path, const Spec& spec) {
    static std::vector<std::uint64_t> buffer(1 << 17); // 1 MiB
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        fail("create " + path);
    SplitMix random{spec.seed};
    std::uint64_t left = spec.size;
    while (left > 0) {
        for (auto& word : buffer)
            word = random.next();
        std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size() * 8));
        auto* bytes = reinterpret_cast<unsigned char*>(buffer.data());
        const std::uint64_t written = spec.size - left;
        if (spec.flipAt > written && spec.flipAt <= written + chunk)
            bytes[spec.flipAt - 1 - written] ^= 0xFF;
        if (write(fd, buffer.data(), chunk) != static_cast<ssize_t>(chunk))
            fail("write " + path);
        left -= chunk;
    }
    close(fd);
}

// Spreads n files over folders of `perFolder` files, `fanout` folders per level.
std::string folderFor(std::size_t index, std::size_t perFolder, std::size_t fanout, int levels) {
    std::size_t folder = index / perFolder;
    std::string path;
    for (int level = 0; level < levels; ++level) {
        char part[24];
        std::snprintf(part, sizeof part, "d%02zu/", folder % fanout);
        path = part + path;
        folder /= fanout;
    }
    return path;
}

void writeAll(const std::string& root, const std::vector<Spec>& specs, std::size_t perFolder,
              std::size_t fanout, int levels) {
    std::string lastFolder;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        std::string folder = root + "/" + folderFor(i, perFolder, fanout, levels);
        if (folder != lastFolder) {
            makeFolders(folder);
            lastFolder = folder;
        }
        char name[32];
        std::snprintf(name, sizeof name, "f%07zu.dat", i);
        writeFile(folder + name, specs[i]);
    }
}

// Picks sizes and contents: a share of exact copies of earlier files, a share of same-size
// traps (new content, or the copied content with its last byte changed).
std::vector<Spec> plan(std::size_t n, double duplicates, double firstByteTraps,
                       double lastByteTraps, SplitMix& random,
                       const std::function<std::uint64_t()>& size) {
    std::vector<Spec> specs;
    specs.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        double draw = random.uniform();
        if (i > 0 && draw < duplicates) {
            specs.push_back(specs[random.below(i)]);
            specs.back().flipAt = 0;
        } else if (i > 0 && draw < duplicates + firstByteTraps) {
            Spec trap = specs[random.below(i)];
            trap.seed = random.next();
            specs.push_back(trap);
        } else if (i > 0 && draw < duplicates + firstByteTraps + lastByteTraps) {
            Spec trap = specs[random.below(i)];
            if (trap.size > 0)
                trap.flipAt = trap.flipAt == trap.size ? 0 : trap.size;
            specs.push_back(trap);
        } else {
            specs.push_back(Spec{random.next(), size()});
        }
    }
    return specs;
}

// Large files in groups of `perSize` of one size (1 to 64 MiB, log-uniform), each group an
// original, copies of it, and near-copies that differ from it in one byte near `where` (start:
// within the first 4 KiB; middle; end: within the last 4 KiB), each near-copy in its own byte.
std::vector<Spec> sameSizes(std::size_t files, std::size_t perSize, const std::string& where,
                            SplitMix& random) {
    std::vector<Spec> specs;
    while (specs.size() < files) {
        const double mib = std::exp(random.uniform() * std::log(64.0));
        const Spec original{random.next(), static_cast<std::uint64_t>(mib * 1024 * 1024)};
        specs.push_back(original);
        for (std::size_t k = 1; k < perSize; ++k) {
            Spec next = original;
            if (random.uniform() < 0.5) {
                const std::uint64_t spread = std::min<std::uint64_t>(4096, original.size / 2);
                const std::uint64_t offset = 1 + random.below(spread);
                next.flipAt = where == "start" ? offset
                              : where == "end" ? original.size + 1 - offset
                                               : original.size / 2 + offset;
            }
            specs.push_back(next);
        }
    }
    // Shuffled, so that a group's files lie in different folders.
    for (std::size_t i = specs.size(); i > 1; --i)
        std::swap(specs[i - 1], specs[random.below(i)]);
    return specs;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: twinscope-make-corpus small|mixed|large|near|sameN-start|sameN-middle|"
                     "sameN-end|tiny|flat FOLDER\n");
        return 2;
    }
    const std::string kind = argv[1];
    const std::string root = argv[2];
    SplitMix random{0x7157C09E ^ std::hash<std::string>{}(kind)};
    if (kind == "small") {
        auto specs =
            plan(20000, 0.18, 0.05, 0.02, random, [&] { return 64 + random.below(64 * 1024); });
        writeAll(root, specs, 200, 10, 2);
    } else if (kind == "mixed") {
        auto specs = plan(100000, 0.15, 0.05, 0.03, random, [&] {
            // log-normal: median 4 KiB, a long tail up to 64 MiB
            double bytes = 4096.0 * std::exp(1.6 * random.normal());
            return static_cast<std::uint64_t>(std::clamp(bytes, 1.0, 64.0 * 1024 * 1024));
        });
        writeAll(root, specs, 250, 20, 2);
    } else if (kind == "large") {
        auto specs =
            plan(120, 0.5, 0.0, 0.0, random, [&] { return (8 + random.below(33)) * 1024 * 1024; });
        writeAll(root, specs, 20, 10, 1);
    } else if (kind == "near") {
        // Twelve sizes for 160 files: most files share their size with several others.
        auto specs = plan(160, 0.3, 0.0, 0.4, random,
                          [&] { return (8 + 3 * random.below(12)) * 1024 * 1024; });
        writeAll(root, specs, 20, 10, 1);
    } else if (kind.starts_with("same") && kind.find('-') != std::string::npos) {
        // sameN-start|middle|end: about 2 GB in groups of N files of one size.
        const std::size_t perSize = std::strtoul(kind.c_str() + 4, nullptr, 10);
        const std::string where = kind.substr(kind.find('-') + 1);
        if (perSize < 2 || (where != "start" && where != "middle" && where != "end")) {
            std::fprintf(stderr, "twinscope-make-corpus: unknown corpus \"%s\"\n", kind.c_str());
            return 2;
        }
        auto specs = sameSizes(136, perSize, where, random);
        writeAll(root, specs, 20, 10, 1);
    } else if (kind == "tiny" || kind == "flat") {
        // The same files for both, so that the two shapes of tree compare.
        SplitMix tinyRandom{0x7157C09E ^ std::hash<std::string>{}("tiny")};
        auto specs =
            plan(1000000, 0.10, 0.0, 0.0, tinyRandom, [&] { return tinyRandom.below(16); });
        if (kind == "tiny")
            writeAll(root, specs, 100, 10, 4);
        else
            writeAll(root, specs, specs.size(), 1, 0);
    } else {
        std::fprintf(stderr, "twinscope-make-corpus: unknown corpus \"%s\"\n", kind.c_str());
        return 2;
    }
    return 0;
}
