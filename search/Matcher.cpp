#include "search/Matcher.h"

#include "search/OrderedCrew.h"
#include "search/RunControl.h"
#include "search/SharedState.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <queue>
#include <vector>

namespace {

using Index = std::size_t;

// A finished group: its members in found order.
struct Group {
    std::vector<Index> members;
    Index first() const { return members.front(); }
};

struct LaterFirst {
    bool operator()(const Group& a, const Group& b) const { return a.first() > b.first(); }
};

using PendingGroups = std::priority_queue<Group, std::vector<Group>, LaterFirst>;

// A group of reference files only offers nothing to remove: it is not listed.
template <typename Table>
bool onlyReferences(const Table& files, const std::vector<Index>& members) {
    return std::all_of(members.begin(), members.end(),
                       [&](Index i) { return files[i].fReference; });
}

void storeGroup(SharedState& state, const Group& group) {
    if (state.sTReferences && onlyReferences(state.aFilesFounded, group.members))
        return;
    for (std::size_t k = 1; k < group.members.size(); ++k)
        state.appendDuplicated(state.aFilesFounded[group.members[k]]);
    state.appendDuplicated(state.aFilesFounded[group.first()]);
}

// Splits `members` (ascending found order) into groups of equal, non-empty digests.
template <typename Table>
void collectGroups(const Table& files, const std::vector<Index>& members, PendingGroups& pending) {
    // Heads of the digest and key sorted beside their indices: far faster than sorting indices
    // that look their digests up in the table. Equal contents have equal heads, and the index
    // keeps found order among them.
    std::vector<std::pair<std::uint64_t, Index>> keyed;
    keyed.reserve(members.size());
    for (Index i : members) {
        const TFiles& file = files[i];
        if (!file.fHash.empty()) {
            std::uint64_t key = 0;
            std::memcpy(&key, file.fFingerprint.bytes.data(), sizeof key);
            keyed.emplace_back(file.fHash.head() ^ key, i);
        }
    }
    std::sort(keyed.begin(), keyed.end());
    auto same = [&](Index a, Index b) {
        return files[a].fHash == files[b].fHash && files[a].fFingerprint == files[b].fFingerprint;
    };
    std::vector<Index> run;
    for (std::size_t start = 0; start < keyed.size();) {
        std::size_t end = start + 1;
        while (end < keyed.size() && keyed[end].first == keyed[start].first)
            ++end;
        run.clear();
        for (std::size_t k = start; k < end; ++k)
            run.push_back(keyed[k].second);
        start = end;
        // One head may be shared by several contents: each is a group of its own.
        while (run.size() >= 2) {
            const Index model = run.front();
            std::vector<Index> group;
            std::erase_if(run, [&](Index i) {
                if (!same(i, model))
                    return false;
                group.push_back(i);
                return true;
            });
            if (group.size() >= 2)
                pending.push(Group{std::move(group)});
        }
    }
}

void storeGroupsBefore(SharedState& state, PendingGroups& pending, Index limit) {
    while (!pending.empty() && pending.top().first() < limit) {
        storeGroup(state, pending.top());
        pending.pop();
    }
}

// Members of a size class that could equal another member: those whose prefix another member
// shares, or that have no prefix to compare. The others need no digest.
std::vector<Index> prefixSurvivors(const std::vector<Index>& members,
                                   const std::vector<std::optional<Fingerprint>>& prefixes,
                                   std::size_t firstTask) {
    std::vector<std::pair<Fingerprint, Index>> keyed;
    std::vector<Index> survivors;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto& prefix = prefixes[firstTask + i];
        if (prefix)
            keyed.emplace_back(*prefix, members[i]);
        else
            survivors.push_back(members[i]);
    }
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        const bool shared = (i > 0 && keyed[i - 1].first == keyed[i].first) ||
                            (i + 1 < keyed.size() && keyed[i + 1].first == keyed[i].first);
        if (shared)
            survivors.push_back(keyed[i].second);
    }
    std::sort(survivors.begin(), survivors.end());
    return survivors;
}

// Work of the matching: bytes to read, and files to open (opening one costs about as much as a
// small read).
struct Work {
    double bytes = 0;
    double files = 0;
    Work& operator+=(const Work& other) {
        bytes += other.bytes;
        files += other.files;
        return *this;
    }
    double cost() const {
        constexpr double kOpenCost = 4096;
        return bytes + files * kOpenCost;
    }
};

// The bar of the matching phase: the work done so far as a share of all the work, given to iBar
// as an index of the found files, and the bytes read of the bytes to read. The look at the first
// bytes, the content keys and the digests follow one another, so each moves the bar on from
// where the one before left it; the bar never falls back.
class MatchProgress {
public:
    MatchProgress(SharedState& state, Index n) : m_state(state), m_n(n) {}

    static Work workOf(std::int64_t bytes) {
        return {static_cast<double>(std::max<std::int64_t>(bytes, 0)), 1};
    }
    // Work still to come, replacing the estimate made before.
    void setRemaining(const Work& remaining) {
        m_total = m_done;
        m_total += remaining;
        m_state.iBytesToRead.store(static_cast<std::int64_t>(m_total.bytes),
                                   std::memory_order_relaxed);
    }
    void add(const Work& work) {
        m_done += work;
        m_state.iBytesRead.store(static_cast<std::int64_t>(m_done.bytes),
                                 std::memory_order_relaxed);
        if (m_total.cost() <= 0)
            return;
        const auto bar = static_cast<int>(std::min(m_done.cost() / m_total.cost(), 1.0) *
                                          static_cast<double>(m_n - 1));
        if (bar > m_bar) {
            m_bar = bar;
            m_state.iBar.store(bar, std::memory_order_relaxed);
        }
    }

private:
    SharedState& m_state;
    Index m_n;
    Work m_done;
    Work m_total;
    int m_bar = 0;
};

} // namespace

std::vector<std::size_t> entriesBySize(const FileTable& files, std::size_t n) {
    // Sizes copied beside their indices: sorting them is several times faster than sorting
    // indices that look their sizes up in the table.
    std::vector<std::pair<std::int64_t, std::size_t>> keyed(n);
    for (std::size_t i = 0; i < n; ++i)
        keyed[i] = {files[i].fSize, i};
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i)
        order[i] = keyed[i].second;
    return order;
}

namespace {

void matchFast(SharedState& state, RunControl& control, const DigestOnDemand& digest,
               const PrefixOf& prefixOf, unsigned threads, const ContentShortcut* shortcut,
               Index n) {
    FileTable& files = state.aFilesFounded;
    std::vector<Index> bySize = entriesBySize(files, n);

    // Size classes of two or more files, taken in the order of their first member: the order
    // in which a pairwise scan reaches them.
    std::vector<std::pair<Index, Index>> classes; // [begin, end) in bySize
    // A class of reference files only would make a group that is not listed: it is not read.
    // Without reference folders, no record is looked at for it.
    const bool withReferences = state.sTReferences;
    for (Index start = 0; start < n;) {
        Index end = start + 1;
        bool references = withReferences && files[bySize[start]].fReference;
        for (; end < n && files[bySize[end]].fSize == files[bySize[start]].fSize; ++end)
            references = references && files[bySize[end]].fReference;
        if (end - start >= 2 && !references)
            classes.emplace_back(start, end);
        start = end;
    }
    std::sort(classes.begin(), classes.end(),
              [&](const auto& a, const auto& b) { return bySize[a.first] < bySize[b.first]; });
    // Each class's first member; bySize goes once the plan is made.
    std::vector<Index> classFirst(classes.size());
    for (std::size_t c = 0; c < classes.size(); ++c)
        classFirst[c] = bySize[classes[c].first];
    auto membersOf = [&](std::size_t c) {
        return std::vector<Index>(bySize.begin() + static_cast<std::ptrdiff_t>(classes[c].first),
                                  bySize.begin() + static_cast<std::ptrdiff_t>(classes[c].second));
    };
    // A digest known before matching (remembered from an earlier search) needs no reading; a
    // class of such files only is neither looked at nor keyed. What was known is kept apart,
    // as a task's cost is counted after it has run.
    std::vector<bool> knownAtStart(n);
    for (Index i = 0; i < n; ++i)
        knownAtStart[i] = !files[i].fHash.empty();
    auto known = [&](Index member) { return static_cast<bool>(knownAtStart[member]); };
    std::vector<char> allKnown(classes.size());
    for (std::size_t c = 0; c < classes.size(); ++c) {
        allKnown[c] =
            std::all_of(bySize.begin() + static_cast<std::ptrdiff_t>(classes[c].first),
                        bySize.begin() + static_cast<std::ptrdiff_t>(classes[c].second), known);
    }
    auto looked = [&](std::size_t c) {
        return prefixOf && !allKnown[c] && files[classFirst[c]].fSize > kPrefixMinimumSize;
    };
    auto fileCost = [&](Index member) {
        return MatchProgress::workOf(known(member) ? 0 : files[member].fSize);
    };
    auto prefixCost = [&](Index member) {
        return MatchProgress::workOf(std::min(files[member].fSize, kPrefixBytes));
    };

    // One crew for the looks, the keys and the digests.
    OrderedCrew crew(threads, control);

    // Until the plan is known, every file of a shared size counts as read in full once, and
    // once more in part when its first bytes are looked at.
    MatchProgress progress(state, n);
    {
        Work estimate;
        for (std::size_t c = 0; c < classes.size(); ++c) {
            for (Index k = classes[c].first; k < classes[c].second; ++k) {
                estimate += fileCost(bySize[k]);
                if (looked(c))
                    estimate += prefixCost(bySize[k]);
            }
        }
        progress.setRemaining(estimate);
    }

    // A cheap look at the first bytes rules out files that differ from every file of their
    // size, so that they are never read in full. Tasks stand class by class, so a class's
    // results are found from its first task.
    std::vector<std::vector<Index>> digestMembers(classes.size());
    {
        std::vector<std::size_t> firstTask(classes.size() + 1, 0);
        for (std::size_t c = 0; c < classes.size(); ++c)
            firstTask[c + 1] =
                firstTask[c] + (looked(c) ? classes[c].second - classes[c].first : 0);
        std::vector<std::optional<Fingerprint>> prefixes(firstTask.back());
        std::vector<Index> prefixTasks;
        prefixTasks.reserve(prefixes.size());
        for (std::size_t c = 0; c < classes.size(); ++c) {
            if (looked(c)) {
                for (Index member : membersOf(c))
                    prefixTasks.push_back(member);
            }
        }
        const bool lookedAll = crew.run(
            prefixTasks.size(), [&](std::size_t t) { prefixes[t] = prefixOf(prefixTasks[t]); },
            [&](std::size_t t) {
                progress.add(prefixCost(prefixTasks[t]));
                return true;
            });
        if (!lookedAll)
            return;
        for (std::size_t c = 0; c < classes.size(); ++c) {
            digestMembers[c] =
                looked(c) ? prefixSurvivors(membersOf(c), prefixes, firstTask[c]) : membersOf(c);
        }
    }

    // Large files with the shortcut: a key of the whole content first; files whose key another
    // file of their size shares are then digested once per key and compared byte for byte.
    auto paired = [&](std::size_t c) {
        const std::vector<Index>& members = digestMembers[c];
        return shortcut != nullptr && shortcut->digestPair && members.size() == 2 &&
               !known(members[0]) && !known(members[1]) && shortcut->applies(members.front());
    };
    auto keyed = [&](std::size_t c) {
        return shortcut != nullptr && !allKnown[c] && digestMembers[c].size() >= 2 && !paired(c) &&
               shortcut->applies(digestMembers[c].front());
    };
    auto batched = [&](std::size_t c) {
        return shortcut != nullptr && shortcut->batched && !allKnown[c] &&
               digestMembers[c].size() >= 2 && shortcut->batched(digestMembers[c].front());
    };
    // A task digests a file on its own, or a set of alikeSets: files with one key, a run of
    // files of one size, or the two files of a size. At a million files, 8 bytes a task.
    enum class TaskKind : Index { Single, Alike, Batch, Pair };
    struct DigestTask {
        Index value; // the kind in the two top bits, then the file or the set
        DigestTask(Index member, TaskKind kind = TaskKind::Single)
            : value(member | static_cast<Index>(kind) << 62) {}
        Index member() const { return value & ((Index{1} << 62) - 1); }
        TaskKind kind() const { return static_cast<TaskKind>(value >> 62); }
    };
    std::vector<DigestTask> digestTasks;
    std::vector<std::vector<Index>> alikeSets;
    std::vector<std::size_t> classEnd(classes.size());
    std::size_t knownCandidates = 0; // files of digestMembers that have no task
    {
        std::vector<Index> keyTasks;
        std::vector<std::size_t> firstKey(classes.size(), 0);
        for (std::size_t c = 0; c < classes.size(); ++c) {
            firstKey[c] = keyTasks.size();
            if (keyed(c))
                keyTasks.insert(keyTasks.end(), digestMembers[c].begin(), digestMembers[c].end());
        }
        Work keyWork;
        for (Index member : keyTasks)
            keyWork += fileCost(member);
        std::vector<std::optional<Fingerprint>> keys(keyTasks.size());
        // The survivors of the first look are now known: keys for some, digests for all.
        Work digestWork;
        for (const std::vector<Index>& members : digestMembers) {
            for (Index member : members)
                digestWork += fileCost(member);
        }
        keyWork += digestWork;
        progress.setRemaining(keyWork);
        const bool keyedAll = crew.run(
            keyTasks.size(), [&](std::size_t t) { keys[t] = shortcut->key(keyTasks[t]); },
            [&](std::size_t t) {
                progress.add(fileCost(keyTasks[t]));
                return true;
            });
        if (!keyedAll)
            return;
        for (std::size_t c = 0; c < classes.size(); ++c) {
            const std::vector<Index>& members = digestMembers[c];
            if (paired(c)) {
                digestTasks.push_back({alikeSets.size(), TaskKind::Pair});
                alikeSets.push_back(members);
            } else if (!keyed(c) && !batched(c)) {
                // A file whose digest is known needs no task.
                for (Index member : members) {
                    if (known(member))
                        ++knownCandidates;
                    else
                        digestTasks.push_back({member});
                }
            } else if (!keyed(c)) { // batched
                for (std::size_t start = 0; start < members.size();
                     start += ContentShortcut::kBatchSize) {
                    const std::size_t end =
                        std::min(members.size(), start + ContentShortcut::kBatchSize);
                    digestTasks.push_back({alikeSets.size(), TaskKind::Batch});
                    alikeSets.emplace_back(members.begin() + static_cast<std::ptrdiff_t>(start),
                                           members.begin() + static_cast<std::ptrdiff_t>(end));
                }
            } else {
                std::vector<std::pair<Fingerprint, Index>> byKey;
                for (std::size_t i = 0; i < members.size(); ++i) {
                    if (const auto& key = keys[firstKey[c] + i])
                        byKey.emplace_back(*key, members[i]);
                    else
                        digestTasks.push_back({members[i]});
                }
                std::sort(byKey.begin(), byKey.end());
                for (std::size_t start = 0; start < byKey.size();) {
                    std::size_t end = start + 1;
                    while (end < byKey.size() && byKey[end].first == byKey[start].first)
                        ++end;
                    if (end - start >= 2) { // a lone key cannot equal any other file
                        std::vector<Index> alike;
                        for (std::size_t k = start; k < end; ++k)
                            alike.push_back(byKey[k].second);
                        std::sort(alike.begin(), alike.end());
                        digestTasks.push_back({alikeSets.size(), TaskKind::Alike});
                        alikeSets.push_back(std::move(alike));
                    }
                    start = end;
                }
            }
            classEnd[c] = digestTasks.size();
        }
    }

    // Only files digested here can be duplicates. Room for all of them up front spares the
    // result table its copies as it grows; room never filled is never touched.
    std::size_t candidates = knownCandidates;
    auto taskCost = [&](const DigestTask& digestTask) {
        if (digestTask.kind() == TaskKind::Single)
            return fileCost(digestTask.member());
        Work cost;
        for (Index member : alikeSets[digestTask.member()])
            cost += fileCost(member);
        return cost;
    };
    Work digestWork;
    for (const DigestTask& digestTask : digestTasks) {
        candidates +=
            digestTask.kind() == TaskKind::Single ? 1 : alikeSets[digestTask.member()].size();
        digestWork += taskCost(digestTask);
    }
    state.aDuplicatedFiles.reserve(candidates);
    std::vector<Index>().swap(bySize);
    progress.setRemaining(digestWork);

    // The digests, computed in parallel and consumed class by class in the order of a pairwise
    // scan: a class is matched as soon as its last task is done.
    PendingGroups pending;
    std::size_t c = 0;
    auto matchClassesDone = [&](std::size_t tasksDone) {
        for (; c < classes.size() && classEnd[c] <= tasksDone; ++c) {
            if (control.checkpoint())
                return false;
            // A matched class's members are not needed again; their room goes to the result.
            collectGroups(files, digestMembers[c], pending);
            std::vector<Index>().swap(digestMembers[c]);
            // Groups that start before the next class's first member are final.
            Index limit = c + 1 < classes.size() ? classFirst[c + 1] : n;
            storeGroupsBefore(state, pending, limit);
        }
        return true;
    };
    if (!matchClassesDone(0))
        return;
    crew.run(
        digestTasks.size(),
        [&](std::size_t t) {
            const DigestTask& task = digestTasks[t];
            if (task.kind() == TaskKind::Single)
                digest(task.member());
            else if (task.kind() == TaskKind::Batch)
                shortcut->digestBatch(alikeSets[task.member()]);
            else if (task.kind() == TaskKind::Pair)
                shortcut->digestPair(alikeSets[task.member()]);
            else
                shortcut->digestAlike(alikeSets[task.member()]);
        },
        [&](std::size_t t) {
            progress.add(taskCost(digestTasks[t]));
            return matchClassesDone(t + 1);
        });
}

void matchNormal(SharedState& state, RunControl& control) {
    const std::vector<std::vector<Index>> groups = groupsOfEqualContent(state.aFilesFounded);
    std::size_t members = 0;
    for (const std::vector<Index>& group : groups)
        members += group.size();
    state.aDuplicatedFiles.reserve(members);
    for (const std::vector<Index>& group : groups) {
        if (control.checkpoint())
            return;
        state.iBar.store(static_cast<int>(group.front()), std::memory_order_relaxed);
        storeGroup(state, Group{group});
    }
}

} // namespace

void matchFiles(SharedState& state, RunControl& control, const DigestOnDemand& digest,
                const PrefixOf& prefixOf, unsigned threads, const ContentShortcut* shortcut) {
    const auto n = static_cast<Index>(state.iFilesFounded.load());
    if (n == 0)
        return;
    if (state.sTSearch == SearchSpeed::Fast)
        matchFast(state, control, digest, prefixOf, threads, shortcut, n);
    else
        matchNormal(state, control);
    if (!control.terminated())
        state.iBar.store(static_cast<int>(n - 1), std::memory_order_relaxed);
}

namespace {
template <typename Table> std::vector<std::vector<std::size_t>> groupsIn(const Table& files) {
    std::vector<Index> all(files.size());
    std::iota(all.begin(), all.end(), Index{0});
    PendingGroups pending;
    collectGroups(files, std::move(all), pending);
    std::vector<std::vector<Index>> groups;
    groups.reserve(pending.size());
    while (!pending.empty()) {
        groups.push_back(pending.top().members);
        pending.pop();
    }
    return groups;
}
} // namespace

std::vector<std::vector<std::size_t>> groupsOfEqualContent(const std::vector<TFiles>& files) {
    return groupsIn(files);
}

std::vector<std::vector<std::size_t>> groupsOfEqualContent(const FileTable& files) {
    return groupsIn(files);
}

std::vector<TFiles> regroupedResult(const std::vector<TFiles>& slots) {
    std::vector<TFiles> result;
    for (const std::vector<std::size_t>& group : groupsOfEqualContent(slots)) {
        if (onlyReferences(slots, group))
            continue;
        for (std::size_t k = 1; k < group.size(); ++k)
            result.push_back(slots[group[k]]);
        result.push_back(slots[group.front()]);
    }
    return result;
}
