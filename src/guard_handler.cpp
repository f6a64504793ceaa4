#include "guard_handler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include <cpl_error.h>
#include <cpl_vsi_virtual.h>
#include <gdal_version.h>

#include "byte_runs.h"
#include "message.h"
#include "side_cars.h"

namespace {

constexpr std::size_t kBatchBytes = 8 << 20;

// GDAL's C++ file system interface changes between releases: the guard meets it here alone. The
// handle and the handler below implement ReadItems, WriteItems, OpenHandle and RenameFile, to
// which the overrides of the running release forward.
class HandleAdapter : public VSIVirtualHandle {
  public:
    virtual size_t ReadItems(void* buffer, size_t size, size_t count) = 0;
    virtual size_t WriteItems(const void* buffer, size_t size, size_t count) = 0;
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 13, 0)
    size_t Read(void* buffer, size_t bytes) final { return ReadItems(buffer, 1, bytes); }
    size_t Write(const void* buffer, size_t bytes) final { return WriteItems(buffer, 1, bytes); }
#else
    size_t Read(void* buffer, size_t size, size_t count) final {
        return ReadItems(buffer, size, count);
    }
    size_t Write(const void* buffer, size_t size, size_t count) final {
        return WriteItems(buffer, size, count);
    }
#endif
};

// What a handler's Open returns: a plain pointer, or in newer releases a unique pointer.
using OpenedHandle = decltype(std::declval<VSIFilesystemHandler&>().Open("", "", false, nullptr));
inline VSIVirtualHandle* Take(VSIVirtualHandle* handle) { return handle; }
template <typename Owner>
VSIVirtualHandle* Take(Owner handle) {
    return handle.release();
}

class HandlerAdapter : public VSIFilesystemHandler {
  public:
    virtual VSIVirtualHandle* OpenHandle(const char* path, const char* access, bool set_error,
                                         CSLConstList options) = 0;
    virtual int RenameFile(const char* from, const char* to) = 0;
    OpenedHandle Open(const char* path, const char* access, bool set_error,
                      CSLConstList options) final {
        return OpenedHandle(OpenHandle(path, access, set_error, options));
    }
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 11, 0)
    // A rename within one file system is one step: there is no progress to tell.
    int Rename(const char* from, const char* to, GDALProgressFunc, void*) final {
        return RenameFile(from, to);
    }
#else
    int Rename(const char* from, const char* to) final { return RenameFile(from, to); }
#endif
};

int RenameThrough(VSIFilesystemHandler& handler, const char* from, const char* to) {
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 11, 0)
    return handler.Rename(from, to, nullptr, nullptr);
#else
    return handler.Rename(from, to);
#endif
}

// GDAL keeps the handler it is given for the life of the process.
void Install(const std::string& prefix, VSIFilesystemHandler* handler) {
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 13, 0)
    VSIFileManager::InstallHandler(prefix, std::shared_ptr<VSIFilesystemHandler>(handler));
#else
    VSIFileManager::InstallHandler(prefix, handler);
#endif
}

// A batch of writes held back: each with the runs of it that change the file, once compared.
struct HeldBatch {
    struct Held {
        vsi_l_offset offset;
        std::vector<GByte> bytes;
        ByteRuns changes;  // the runs to journal and write, from `offset`
    };
    std::vector<Held> writes;
    size_t bytes = 0;

    bool full() const { return bytes >= kBatchBytes; }
    bool Overlaps(vsi_l_offset offset, size_t size) const {
        return std::any_of(writes.begin(), writes.end(), [&](const Held& held) {
            return held.offset < offset + size && offset < held.offset + held.bytes.size();
        });
    }
    // Throws std::bad_alloc when the copy does not fit.
    void Add(vsi_l_offset offset, const GByte* data, size_t size) {
        writes.push_back({offset, std::vector<GByte>(data, data + size), {}});
        bytes += size;
    }
    bool Disjoint() const {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
        for (const Held& held : writes)
            extents.emplace_back(held.offset, held.offset + held.bytes.size());
        return ::Disjoint(std::move(extents));
    }
    // [first, end) of the bytes the batch changes, once compared; empty when none.
    std::pair<vsi_l_offset, vsi_l_offset> ChangedExtent() const {
        vsi_l_offset first = ~vsi_l_offset{0}, end = 0;
        for (const Held& held : writes)
            for (const auto& [at, size] : held.changes) {
                first = std::min(first, held.offset + at);
                end = std::max(end, held.offset + at + size);
            }
        return {std::min(first, end), end};
    }
    // Writes the runs that change the file, once compared.
    bool WriteChanges(VSIVirtualHandle& base) const {
        for (const Held& held : writes)
            for (const auto& [at, size] : held.changes)
                if (base.Seek(held.offset + at, SEEK_SET) != 0 ||
                    base.Write(&held.bytes[at], 1, size) != size)
                    return false;
        return true;
    }
    void Clear() {
        writes.clear();
        bytes = 0;
    }
};

// Starts putting [first, end) of the handle's file on the disk, so that the commit's sync of the
// file finds most of it there already.
void StartWriteBack(VSIVirtualHandle& handle, vsi_l_offset first, vsi_l_offset end) {
    if (void* native = handle.GetNativeFileDescriptor(); native && end > first)
        platform::StartWriteBack(reinterpret_cast<platform::FileHandle>(native), first,
                                 end - first);
}

// The writes that a handle holds back, and their release. Any step that fails fails the run and
// drops what is held: the journal may not be trusted with more, so nothing more is written.
// Out of memory, the run fails too: no exception may pass through GDAL's frames into its caller.
class HeldWrites {
  public:
    HeldWrites(GuardPolicy& guard, GuardedFile& file, VSIVirtualHandle& base)
        : guard_(guard), file_(file), base_(base) {
        base_.Seek(0, SEEK_END);
        base_size_ = base_.Tell();
    }
    vsi_l_offset base_size() const { return base_size_; }
    bool full() const { return held_.full(); }
    bool Overlaps(vsi_l_offset offset, size_t size) const { return held_.Overlaps(offset, size); }

    bool Hold(vsi_l_offset offset, const GByte* bytes, size_t size) {
        return Succeeds([&] {
            held_.Add(offset, bytes, size);
            return true;
        });
    }

    bool Release() {
        if (held_.writes.empty()) return true;  // nothing to refuse: a failed run closes quietly
        return Succeeds([this] { return JournalThenWrite(); });
    }

    bool Truncate(vsi_l_offset new_size) {
        return Release() && Succeeds([&] { return JournalThenCut(new_size); });
    }

  private:
    using Held = HeldBatch::Held;

    template <typename Step>
    bool Succeeds(const Step& step) {
        bool done = false;
        try {
            done = step();
        } catch (const std::bad_alloc&) {
        }
        if (!done) Fail();
        return done;
    }

    // The ordering that makes the write-back undoable: journal, sync, then write. Writes that
    // overlap within a batch go out whole, in their order, so that the last one wins.
    bool JournalThenWrite() {
        if (!guard_.NoteFirstChange(file_)) return false;
        const bool disjoint = held_.Disjoint();
        for (Held& held : held_.writes)
            if (!JournalChanges(held, disjoint)) return false;
        if (!guard_.SyncJournal()) return false;
        const auto [first, end] = held_.ChangedExtent();
        base_size_ = std::max(base_size_, end);
        if (!held_.WriteChanges(base_) || base_.Flush() != 0)
            return false;  // a full disk shows here, if not before
        StartWriteBack(base_, first, end);
        held_.Clear();
        return true;
    }

    // A truncate that grows the file needs its original length on the disk as much as one that
    // shrinks it needs the bytes it cuts off (invariant 2): the journal is synced either way.
    bool JournalThenCut(vsi_l_offset new_size) {
        if (!guard_.NoteFirstChange(file_)) return false;
        if (new_size < base_size_ && !JournalFrom(new_size, base_size_ - new_size)) return false;
        if (!guard_.SyncJournal() || base_.Truncate(new_size) != 0) return false;
        base_size_ = new_size;
        return true;
    }

    // Finds the runs of `held` to write, and journals what of them is new (byte_runs.h): what
    // the file holds under the write is read once, where any of it is not journaled yet.
    bool JournalChanges(Held& held, bool compare) {
        const size_t size = held.bytes.size();
        const size_t existing =
            held.offset < base_size_ ? std::min<vsi_l_offset>(size, base_size_ - held.offset) : 0;
        const ByteRuns unjournaled = guard_.Unjournaled(file_, held.offset, size);
        if (!unjournaled.empty() && !ReadCurrent(held.offset, existing)) return false;
        const WritePlan plan =
            PlanWrite(current_.data(), existing, held.bytes.data(), size, unjournaled, compare);
        for (const auto& [at, length] : plan.journal) {
            const GByte* original = at < existing ? &current_[at] : nullptr;
            if (!guard_.JournalOriginal(file_, held.offset + at, original, length)) return false;
        }
        held.changes = plan.write;
        return true;
    }

    bool JournalFrom(vsi_l_offset offset, size_t size) {
        return ReadCurrent(offset, size) &&
               guard_.JournalOriginal(file_, offset, current_.data(), current_.size());
    }

    bool ReadCurrent(vsi_l_offset offset, size_t size) {
        current_.resize(size);
        return size == 0 ||
               (base_.Seek(offset, SEEK_SET) == 0 && base_.Read(current_.data(), 1, size) == size);
    }

    void Fail() {
        guard_.Fail();
        held_.Clear();
    }

    GuardPolicy& guard_;
    GuardedFile& file_;
    VSIVirtualHandle& base_;
    vsi_l_offset base_size_ = 0;  // of the file itself
    std::vector<GByte> current_;  // what the file holds where a held write goes
    HeldBatch held_;
};

// A write handle on a guarded file. It keeps its own position and size, and holds writes back
// until a batch is full, a read needs them or the handle is flushed or closed.
class GuardedHandle final : public HandleAdapter {
  public:
    GuardedHandle(GuardPolicy& guard, GuardedFile& file, VSIVirtualHandle* base)
        : guard_(guard), base_(base), held_(guard, file, *base), size_(held_.base_size()) {}

    int Seek(vsi_l_offset offset, int whence) override {
        position_ = whence == SEEK_SET   ? offset
                    : whence == SEEK_CUR ? position_ + offset
                                         : size_ + offset;
        eof_ = false;
        return 0;
    }
    vsi_l_offset Tell() override { return position_; }

    size_t ReadItems(void* buffer, size_t size, size_t count) override {
        if (held_.Overlaps(position_, size * count) && !held_.Release()) return 0;
        base_->Seek(position_, SEEK_SET);
        const size_t got = base_->Read(buffer, size, count);
        position_ += got * size;
        eof_ = got < count;
        return got;
    }

    size_t WriteItems(const void* buffer, size_t size, size_t count) override {
        if (guard_.failed() ||
            !held_.Hold(position_, static_cast<const GByte*>(buffer), size * count))
            return 0;
        position_ += size * count;
        size_ = std::max(size_, position_);
        if (held_.full() && !held_.Release()) return 0;
        return count;
    }

    int Eof() override { return eof_; }
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 10, 0)
    int Error() override { return guard_.failed(); }
    void ClearErr() override { eof_ = false; }
#endif
    int Flush() override { return held_.Release() ? base_->Flush() : -1; }
    int Close() override {
        const bool released = held_.Release();
        return base_->Close() == 0 && released ? 0 : -1;
    }
    int Truncate(vsi_l_offset new_size) override {
        if (!held_.Truncate(new_size)) return -1;
        size_ = new_size;
        return 0;
    }

  private:
    GuardPolicy& guard_;
    const std::unique_ptr<VSIVirtualHandle> base_;
    HeldWrites held_;
    vsi_l_offset position_ = 0;
    vsi_l_offset size_ = 0;  // with the held writes
    bool eof_ = false;
};

bool Writes(const char* access) { return std::strpbrk(access, "wa+") != nullptr; }

// The policy of this run, or null.
GuardPolicy* policy = nullptr;

// GDAL's default handler, the local one, as it was before any guard was installed.
VSIFilesystemHandler& Local() {
    static VSIFilesystemHandler* const local = VSIFileManager::GetHandler("");
    return *local;
}

// In front of GDAL's local handler, for the paths that start with a guarded file's stem.
// Everything but the covered files goes straight through.
class GuardHandler final : public HandlerAdapter {
  public:
    explicit GuardHandler(VSIFilesystemHandler* local) : local_(local) {}

    VSIVirtualHandle* OpenHandle(const char* path, const char* access, bool set_error,
                                 CSLConstList options) override {
        if (!policy || !Writes(access) || !policy->Covers(path))
            return Checked(path, Take(local_->Open(path, access, set_error, options)));
        if (policy->failed()) return nullptr;
        // A file opened to be replaced or appended to is journaled whole before it is opened.
        const bool replaces = std::strpbrk(access, "wa") != nullptr;
        if (replaces && !policy->BeforeReplace(path)) return nullptr;
        GuardedFile& file = policy->StateOf(path);
        VSIVirtualHandle* handle =
            Checked(path, Take(local_->Open(path, access, set_error, options)));
        if (!handle || replaces) return handle;
        return new GuardedHandle(*policy, file, handle);
    }
    int Unlink(const char* path) override {
        if (policy && policy->Covers(path) && !policy->BeforeReplace(path)) return -1;
        return local_->Unlink(path);
    }
    int RenameFile(const char* from, const char* to) override {
        for (const char* path : {from, to})
            if (policy && policy->Covers(path) && !policy->BeforeReplace(path)) return -1;
        return RenameThrough(*local_, from, to);
    }
    int Stat(const char* path, VSIStatBufL* stat, int flags) override {
        return local_->Stat(path, stat, flags);
    }
    int Mkdir(const char* path, long mode) override { return local_->Mkdir(path, mode); }
    int Rmdir(const char* path) override { return local_->Rmdir(path); }
    char** ReadDirEx(const char* path, int most) override { return local_->ReadDirEx(path, most); }
    char** SiblingFiles(const char* path) override { return local_->SiblingFiles(path); }
    int IsCaseSensitive(const char* path) override { return local_->IsCaseSensitive(path); }
    GIntBig GetDiskFreeSpace(const char* path) override { return local_->GetDiskFreeSpace(path); }
    int SupportsSparseFiles(const char* path) override { return local_->SupportsSparseFiles(path); }
    VSIDIR* OpenDir(const char* path, int depth, const char* const* options) override {
        return local_->OpenDir(path, depth, options);
    }

  private:
    // A handle whose descriptor GDAL does not tell is let through.
    static VSIVirtualHandle* Checked(const char* path, VSIVirtualHandle* handle) {
        if (!policy || !handle) return handle;
        void* native = handle->GetNativeFileDescriptor();
        if (!native ||
            !policy->LeadsElsewhere(path, reinterpret_cast<platform::FileHandle>(native)))
            return handle;
        delete handle;
        CPLError(CE_Failure, CPLE_OpenFailed, "%s is no longer the file this run locked",
                 Quoted(path).c_str());
        return nullptr;
    }

    VSIFilesystemHandler* const local_;  // GDAL's, which stays its default handler
};

}  // namespace

// GDAL picks a path's handler by the prefixes handlers are installed under, else its default,
// the local one. A handler in front of the default itself would end it: newer releases hold
// their handlers by shared pointers, and installing another default releases the local one.
// So the guard is installed under the prefixes that every path of the file's and its
// side-cars' starts with: the file's stem as GDAL spells it, after its directory and either
// separator. Each prefix gets a handler of its own, for GDAL deletes each one at its exit.
// (A name that is all extension is its own stem, as for IsSideCarName.)
void InstallGuard(const std::string& path, GuardPolicy& guard) {
    static std::set<std::string> installed;
    VSIFilesystemHandler& local = Local();  // before any guard stands in front of it
    policy = &guard;
    const SplitPath split = Split(path);
    const std::string stem = StemOf(split.name);
    std::vector<std::string> prefixes{split.prefix + stem};
    if (!split.prefix.empty())  // GDAL may join a side-car's name with either separator
        for (const char* separator : {"/", "\\"})
            prefixes.push_back(split.prefix.substr(0, split.prefix.size() - 1) + separator + stem);
    for (const std::string& each : prefixes)
        if (installed.insert(each).second) Install(each, new GuardHandler(&local));
}

void RemoveGuard() { policy = nullptr; }
