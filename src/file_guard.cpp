#include "file_guard.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include <cpl_conv.h>
#include <cpl_string.h>
#include <cpl_vsi_virtual.h>
#include <gdal_priv.h>
#include <gdal_version.h>

#include "journal_recovery.h"
#include "journaled_formats.h"
#include "message.h"
#include "platform.h"
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

// A write handle on a guarded file. It keeps its own position and size, holds writes back until
// a batch is full, a read needs them or the handle is flushed or closed, and then journals what
// they overwrite before it lets them through.
class GuardedHandle final : public HandleAdapter {
  public:
    GuardedHandle(FileGuard& guard, FileGuard::File& file, VSIVirtualHandle* base)
        : guard_(guard), file_(file), base_(base) {
        base_->Seek(0, SEEK_END);
        size_ = base_size_ = base_->Tell();
    }
    ~GuardedHandle() override { delete base_; }

    int Seek(vsi_l_offset offset, int whence) override {
        position_ = whence == SEEK_SET   ? offset
                    : whence == SEEK_CUR ? position_ + offset
                                         : size_ + offset;
        eof_ = false;
        return 0;
    }
    vsi_l_offset Tell() override { return position_; }

    size_t ReadItems(void* buffer, size_t size, size_t count) override {
        if (Overlaps(position_, size * count) && !Release()) return 0;
        base_->Seek(position_, SEEK_SET);
        const size_t got = base_->Read(buffer, size, count);
        position_ += got * size;
        eof_ = got < count;
        return got;
    }

    size_t WriteItems(const void* buffer, size_t size, size_t count) override {
        if (guard_.failed()) return 0;
        const auto* bytes = static_cast<const GByte*>(buffer);
        if (!Hold(bytes, size * count)) return 0;
        held_bytes_ += size * count;
        position_ += size * count;
        size_ = std::max(size_, position_);
        if (held_bytes_ >= kBatchBytes && !Release()) return 0;
        return count;
    }

    int Eof() override { return eof_; }
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 10, 0)
    int Error() override { return guard_.failed(); }
    void ClearErr() override { eof_ = false; }
#endif
    int Flush() override { return Release() ? base_->Flush() : -1; }
    int Close() override {
        const bool released = Release();
        return base_->Close() == 0 && released ? 0 : -1;
    }
    // A truncate that grows the file needs its original length on the disk as much as one that
    // shrinks it needs the bytes it cuts off (invariant 2): the journal is synced either way.
    int Truncate(vsi_l_offset new_size) override {
        if (!Release() || !guard_.Record(file_)) return -1;
        if (new_size < base_size_) {
            if (!Resize(current_, base_size_ - new_size)) return Fail();
            if (base_->Seek(new_size, SEEK_SET) != 0 ||
                base_->Read(current_.data(), 1, current_.size()) != current_.size() ||
                !guard_.JournalOriginal(file_, new_size, current_.data(), current_.size()))
                return Fail();
        }
        if (!guard_.SyncJournal() || base_->Truncate(new_size) != 0) return Fail();
        size_ = base_size_ = new_size;
        return 0;
    }

  private:
    struct Held {
        vsi_l_offset offset;
        std::vector<GByte> bytes;
        std::vector<std::pair<vsi_l_offset, size_t>> changes;  // the runs to journal and write
    };

    bool Overlaps(vsi_l_offset offset, size_t size) const {
        return std::any_of(held_.begin(), held_.end(), [&](const Held& held) {
            return held.offset < offset + size && offset < held.offset + held.bytes.size();
        });
    }

    // Out of memory, the run fails: no exception may pass through GDAL's frames into its caller.
    bool Hold(const GByte* bytes, size_t size) {
        try {
            held_.push_back({position_, std::vector<GByte>(bytes, bytes + size), {}});
            return true;
        } catch (const std::bad_alloc&) {
            return Fail() == 0;
        }
    }
    static bool Resize(std::vector<GByte>& bytes, size_t size) {
        try {
            bytes.resize(size);
            return true;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    bool Release() {
        try {
            return ReleaseHeld();
        } catch (const std::bad_alloc&) {
            return Fail() == 0;
        }
    }

    // The ordering that makes the write-back undoable: journal, sync, then write. Only the runs
    // of bytes that differ from what the file holds are journaled and written: GDAL rewrites
    // whole blocks, of which the fill changed a few pixels. Writes that overlap within a batch
    // go out whole, in their order, so that the last one wins.
    bool ReleaseHeld() {
        if (held_.empty()) return true;  // nothing to refuse: a failed run closes quietly
        if (!guard_.Record(file_)) return Fail() == 0;
        const bool disjoint = Disjoint();
        for (Held& held : held_) {
            if (!FindChanges(held, disjoint)) return Fail() == 0;
            for (const auto& [at, size] : held.changes)
                if (!guard_.JournalOriginal(file_, at, Current(held, at), size)) return Fail() == 0;
        }
        if (!guard_.SyncJournal()) return Fail() == 0;
        for (const Held& held : held_) {
            for (const auto& [at, size] : held.changes) {
                base_size_ = std::max(base_size_, at + size);
                if (base_->Seek(at, SEEK_SET) != 0 ||
                    base_->Write(&held.bytes[at - held.offset], 1, size) != size)
                    return Fail() == 0;
            }
        }
        if (base_->Flush() != 0) return Fail() == 0;  // a full disk shows here, if not before
        held_.clear();
        held_bytes_ = 0;
        return true;
    }

    bool Disjoint() const {
        std::vector<std::pair<vsi_l_offset, vsi_l_offset>> extents;
        for (const Held& held : held_)
            extents.emplace_back(held.offset, held.offset + held.bytes.size());
        std::sort(extents.begin(), extents.end());
        for (size_t i = 1; i < extents.size(); ++i)
            if (extents[i].first < extents[i - 1].second) return false;
        return true;
    }

    // What the file held at `at` when FindChanges last read it for `held`, or null past its end.
    const GByte* Current(const Held& held, vsi_l_offset at) const {
        return at - held.offset < current_.size() ? &current_[at - held.offset] : nullptr;
    }

    // Reads what the file holds under `held` and lists the runs that differ from it, compared in
    // granules of 64 bytes (or the whole of it when `compare` is false); all that lies beyond the
    // file's end differs. A run goes on over less than a page of equal bytes, since the disk
    // writes whole pages anyway.
    bool FindChanges(Held& held, bool compare) {
        constexpr size_t kGranule = 64, kPage = 4096;
        const vsi_l_offset end = held.offset + held.bytes.size();
        const size_t existing =
            held.offset < base_size_ ? std::min(end, base_size_) - held.offset : 0;
        current_.resize(existing);
        if (existing > 0 && (base_->Seek(held.offset, SEEK_SET) != 0 ||
                             base_->Read(current_.data(), 1, existing) != existing))
            return false;
        const auto differs = [&](size_t at) {
            return !compare || std::memcmp(&current_[at], &held.bytes[at],
                                           std::min(kGranule, existing - at)) != 0;
        };
        held.changes.clear();
        for (size_t at = 0; at < existing;) {
            if (!differs(at)) {
                at += kGranule;
                continue;
            }
            size_t stop = at + kGranule;
            for (size_t equal = 0; stop < existing && equal < kPage; stop += kGranule)
                equal = differs(stop) ? 0 : equal + kGranule;
            stop = std::min(stop, existing);
            held.changes.emplace_back(held.offset + at, stop - at);
            at = stop;
        }
        if (existing < held.bytes.size())
            held.changes.emplace_back(held.offset + existing, held.bytes.size() - existing);
        return true;
    }

    int Fail() {
        guard_.Fail();
        held_.clear();
        held_bytes_ = 0;
        return -1;
    }

    FileGuard& guard_;
    FileGuard::File& file_;
    VSIVirtualHandle* base_;
    vsi_l_offset position_ = 0;
    vsi_l_offset size_ = 0;       // with the held writes
    vsi_l_offset base_size_ = 0;  // of the file itself
    std::vector<GByte> current_;  // what the file holds where a held write goes
    bool eof_ = false;
    std::vector<Held> held_;
    size_t held_bytes_ = 0;
};

bool Writes(const char* access) { return std::strpbrk(access, "wa+") != nullptr; }

// The guard of this run, or null.
FileGuard* watched = nullptr;

// GDAL's default handler, the local one, as it was before any guard was installed.
VSIFilesystemHandler& Local() {
    static VSIFilesystemHandler* const local = VSIFileManager::GetHandler("");
    return *local;
}

// In front of GDAL's local handler, for the paths that start with a guarded file's stem.
// Everything but the guarded files goes straight through.
class GuardHandler final : public HandlerAdapter {
  public:
    explicit GuardHandler(VSIFilesystemHandler* local) : local_(local) {}

    VSIVirtualHandle* OpenHandle(const char* path, const char* access, bool set_error,
                                 CSLConstList options) override {
        if (!guard_ || !Writes(access) || !guard_->Protects(path))
            return Checked(path, Take(local_->Open(path, access, set_error, options)));
        if (guard_->failed()) return nullptr;
        const bool replaces = std::strpbrk(access, "wa") != nullptr;
        if (replaces && !guard_->BeforeReplace(path)) return nullptr;
        FileGuard::File& file = guard_->Begin(path);
        VSIVirtualHandle* handle =
            Checked(path, Take(local_->Open(path, access, set_error, options)));
        if (!handle || replaces) return handle;
        return new GuardedHandle(*guard_, file, handle);
    }
    int Unlink(const char* path) override {
        if (guard_ && guard_->Protects(path) && !guard_->BeforeReplace(path)) return -1;
        return local_->Unlink(path);
    }
    int RenameFile(const char* from, const char* to) override {
        for (const char* path : {from, to})
            if (guard_ && guard_->Protects(path) && !guard_->BeforeReplace(path)) return -1;
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
    VSIVirtualHandle* Checked(const char* path, VSIVirtualHandle* handle) {
        return guard_ ? guard_->OnTheLockedFile(path, handle) : handle;
    }

    VSIFilesystemHandler* const local_;  // GDAL's, which stays its default handler
    FileGuard* const& guard_ = watched;
};

// GDAL picks a path's handler by the prefixes handlers are installed under, else its default,
// the local one. A handler in front of the default itself would end it: newer releases hold
// their handlers by shared pointers, and installing another default releases the local one.
// So the guard is installed under the prefixes that every path of the file's and its
// side-cars' starts with: the file's stem as GDAL spells it, after its directory and either
// separator. Each prefix gets a handler of its own, for GDAL deletes each one at its exit.
// (A name that is all extension is its own stem, as for IsSideCarName.)
void Watch(FileGuard* guard, const std::string& prefix, const std::string& name) {
    static std::set<std::string> installed;
    VSIFilesystemHandler& local = Local();
    watched = guard;
    if (!guard) return;
    const std::string stem = StemOf(name);
    std::vector<std::string> prefixes{prefix + stem};
    if (!prefix.empty())  // GDAL may join a side-car's name with either separator
        for (const char* separator : {"/", "\\"})
            prefixes.push_back(prefix.substr(0, prefix.size() - 1) + separator + stem);
    for (const std::string& each : prefixes)
        if (installed.insert(each).second) Install(each, new GuardHandler(&local));
}

}  // namespace

FileGuard::FileGuard(const std::string& path, platform::FileIdentity identity, Warn warn)
    : path_(path),
      directory_(Split(path).directory),
      name_(Split(path).name),
      identity_(identity),
      warn_(std::move(warn)) {
    Watch(this, Split(path).prefix, name_);
}

FileGuard::~FileGuard() { Watch(nullptr, "", ""); }

bool FileGuard::Protects(const std::string& path) const {
    if (path == path_) return true;
    const SplitPath split = Split(path);
    return split.directory == directory_ && IsSideCarName(name_, split.name) &&
           path != JournalPathFor(path_);
}

VSIVirtualHandle* FileGuard::OnTheLockedFile(const char* path, VSIVirtualHandle* handle) {
    if (!handle || path != path_) return handle;
    void* native = handle->GetNativeFileDescriptor();
    if (!native || platform::IdentityOf(reinterpret_cast<platform::FileHandle>(native)) == identity_)
        return handle;
    delete handle;
    replaced_ = true;
    CPLError(CE_Failure, CPLE_OpenFailed, "'%s' is no longer the file this run locked", path);
    return nullptr;
}

bool FileGuard::Cover(GDALDataset& dataset) {
    const CPLStringList files(dataset.GetFileList());
    for (int i = 0; i < files.size(); ++i) listed_.push_back(files[i]);
    GDALDriver* driver = dataset.GetDriver();
    if (driver && IsJournaledFormat(driver->GetDescription()) &&
        std::all_of(listed_.begin(), listed_.end(),
                    [this](const auto& f) { return Protects(f); })) {
        listed_.clear();  // every write to them passes the guard
        return true;
    }
    sees_all_writes_ = false;
    journal_tried_ = true;  // and none made
    return false;
}

bool FileGuard::StartJournal(std::string& why) {
    if (journal_tried_) return !failed_;
    journal_tried_ = true;
    Journal::NotCreated not_created;
    journal_ = Journal::Create(path_, identity_, not_created);
    if (journal_) return true;
    if (not_created.denied) {
        warn_("cannot create a journal beside '" + path_ +
              "'; an interrupted write-back cannot be undone");
        return true;
    }
    why = "cannot create a journal beside '" + path_ + "': " + not_created.why +
          "; the file is as it was";
    failed_ = true;
    return false;
}

FileGuard::File& FileGuard::Begin(const std::string& path) {
    File& file = files_[path];
    if (file.path.empty()) {
        file.path = path;
        VSIStatBufL stat{};
        file.original_length = VSIStatL(path.c_str(), &stat) == 0 ? stat.st_size : -1;
    }
    return file;
}

bool FileGuard::Record(File& file) {
    std::string why;
    if (!StartJournal(why)) {
        if (!why.empty()) warn_(why);  // a write before the write-back: it is refused
        return false;
    }
    file.written = true;
    if (journal_ && file.index < 0)
        file.index = journal_->AddFile(Split(file.path).name, file.original_length);
    return !journal_ || !journal_->failed() || !(failed_ = true);
}

bool FileGuard::JournalOriginal(File& state, std::uint64_t offset, const GByte* current,
                                std::uint64_t size) {
    if (!journal_ || state.original_length <= 0) return true;
    const auto length = static_cast<std::uint64_t>(state.original_length);
    if (offset >= length) return true;  // growth: undone by truncating to the original length
    return ForEachNewPart(state.journaled, offset, std::min(length, offset + size),
                          [&](std::uint64_t start, std::uint64_t end) {
                              if (!current) return false;  // the file is shorter than it was
                              journal_->AddBytes(state.index, start, current + (start - offset),
                                                 end - start);
                              return !journal_->failed();
                          });
}

bool FileGuard::BeforeReplace(const std::string& path) {
    names_changed_ = true;
    File& state = Begin(path);
    if (!Record(state)) return false;
    if (!journal_ || state.original_length <= 0) return SyncJournal();
    // In batches, each synced, so that a large side-car is never all in memory.
    const auto length = static_cast<std::uint64_t>(state.original_length);
    VSIVirtualHandle* file = Take(Local().Open(path.c_str(), "rb", false, nullptr));
    bool journaled = file != nullptr;
    try {
        std::vector<GByte> original(static_cast<size_t>(std::min<std::uint64_t>(length, kBatchBytes)));
        for (std::uint64_t at = 0; journaled && at < length; at += original.size()) {
            const size_t size = static_cast<size_t>(std::min<std::uint64_t>(length - at, original.size()));
            journaled = file->Read(original.data(), 1, size) == size &&
                        JournalOriginal(state, at, original.data(), size) && SyncJournal();
        }
    } catch (const std::bad_alloc&) {
        journaled = false;
    }
    delete file;
    return journaled || !(failed_ = true);
}

bool FileGuard::SyncJournal() { return !journal_ || journal_->Sync() || !(failed_ = true); }

bool FileGuard::SyncFiles() const {
    VSIStatBufL stat{};
    for (const auto& [path, file] : files_)
        if (file.written && VSIStatL(path.c_str(), &stat) == 0 && !platform::SyncDataAt(path))
            return false;
    for (const std::string& path : listed_)
        if (VSIStatL(path.c_str(), &stat) == 0 && !platform::SyncDataAt(path)) return false;
    return true;
}

FileGuard::Outcome FileGuard::Finish(bool succeeded, std::string& why) {
    Watch(nullptr, "", "");
    // With a journal, nothing reached a file before a batch of it reached the disk (invariant 1).
    const bool written = journal_
                             ? journal_->synced()
                             : std::any_of(files_.begin(), files_.end(),
                                           [](const auto& entry) { return entry.second.written; });
    if (journal_ && !journal_->synced()) {  // nothing to commit or undo
        journal_->Discard();
        journal_.reset();
    }
    if (succeeded && !failed_) {
        if (SyncFiles() && (!journal_ || journal_->Commit(names_changed_)))
            return Outcome::kCommitted;
        failed_ = true;
        why = "cannot sync the written files: " + platform::LastError();
    }
    if (!written && sees_all_writes_) return Outcome::kRolledBack;
    if (!journal_) return Outcome::kDamaged;
    journal_->Sync();
    journal_.reset();
    return RecoverFromJournal(path_, identity_, why) == Recovery::kRestored ? Outcome::kRolledBack
                                                                            : Outcome::kDamaged;
}
