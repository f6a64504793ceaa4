// The recovery's second half, the rollback: applies the plan that the reader (journal_reader.h)
// made of a journal that passed every check (invariant 7).
#include "journal_recovery.h"

#include "journal_format.h"
#include "journal_reader.h"
#include "message.h"
#include "side_cars.h"

using namespace journal_format;

namespace {

bool CannotRestore(const RollbackPlan& plan, const RollbackFile& target, std::string& why) {
    why = "cannot restore " + Quoted(plan.prefix + target.name) + ": " + platform::LastError();
    return false;
}

// Files that the run removed are made again, with their mode.
bool MakeRemovedFiles(RollbackPlan& plan, bool& names_changed, std::string& why) {
    for (RollbackFile& target : plan.files) {
        if (target.fd != platform::kNoFile || target.original_length < 0) continue;
        platform::Failure failure = platform::Failure::kNone;
        target.fd =
            platform::OpenIn(plan.directory, target.name, platform::Open::kCreateNew, failure);
        if (target.fd == platform::kNoFile || !platform::SetMode(target.fd, target.mode))
            return CannotRestore(plan, target, why);
        names_changed = true;
    }
    return true;
}

// The original bytes put back, as the journal holds them: it is read again, batch by batch.
bool PutBackBytes(const RollbackPlan& plan, const std::string& journal_path, std::string& why) {
    bool changed = false;
    const Batches::Scan scan =
        Batches(plan.journal, plan.length, plan.salt).ForEachRecord([&](const RecordView& record) {
            if (record.kind != kBytes) return true;
            if (record.file >= plan.files.size()) {  // not so when it was checked
                changed = true;
                return false;
            }
            const RollbackFile& target = plan.files[record.file];
            if (platform::WriteWhole(target.fd, record.payload, record.size, record.where) ==
                platform::Whole::kYes)
                return true;
            return CannotRestore(plan, target, why);
        });
    if (scan == Batches::Scan::kWhole || scan == Batches::Scan::kTorn) return true;
    if (scan == Batches::Scan::kStopped && !changed) return false;  // `why` names the file
    why = "the journal " + Quoted(journal_path) + " changed while it was applied";
    return false;
}

// Every file given its original length, or removed when the run made it, and synced, with the
// directory when a file was made or removed.
bool RestoreLengths(RollbackPlan& plan, bool names_changed, const std::string& file,
                    std::string& why) {
    for (RollbackFile& target : plan.files) {
        if (target.original_length >= 0) {
            if (!platform::Truncate(target.fd, target.original_length) ||
                !platform::SyncData(target.fd))
                return CannotRestore(plan, target, why);
        } else if (target.fd != platform::kNoFile) {
            platform::CloseFile(target.fd);  // Windows removes no open file
            target.fd = platform::kNoFile;
            if (platform::RemoveIn(plan.directory, target.name) == platform::Removed::kFailed)
                return CannotRestore(plan, target, why);
            names_changed = true;
        }
    }
    if (!names_changed || platform::SyncDirectory(plan.directory)) return true;
    why = "cannot sync the directory of " + Quoted(file) + ": " + platform::LastError();
    return false;
}

// Zeroes the journal's header, syncs it, and deletes the journal: with either, the journal is
// not applied again (which would do no harm while the files stay as they are now).
bool Retire(RollbackPlan& plan, const std::string& journal_path, std::string& why) {
    const bool zeroed = RetireHeader(plan.journal);
    platform::CloseFile(plan.journal);  // Windows removes no file while a handle is open on it
    plan.journal = platform::kNoFile;
    if (platform::RemoveIn(plan.directory, plan.journal_name) == platform::Removed::kYes) {
        platform::SyncDirectory(plan.directory);
        return true;
    }
    if (zeroed) return true;
    why = "cannot remove " + Quoted(journal_path) + ": " + platform::LastError();
    return false;
}

}  // namespace

Recovery RecoverFromJournal(const std::string& file, platform::FileIdentity identity,
                            std::string& why) {
    const std::string journal_path = JournalPathFor(file);
    platform::FileInfo probe;
    if (!platform::InfoAt(journal_path, probe) &&
        platform::LastFailure() == platform::Failure::kMissing)
        return Recovery::kNothing;
    RollbackPlan plan;
    ReadJournal(file, identity, plan);
    if (plan.verdict == RollbackPlan::Verdict::kNothing) return Recovery::kNothing;
    if (plan.verdict == RollbackPlan::Verdict::kRefused) {
        why = "the journal " + Quoted(journal_path) + " " + plan.refusal;
        return Recovery::kRefused;
    }
    bool names_changed = false;
    return MakeRemovedFiles(plan, names_changed, why) && PutBackBytes(plan, journal_path, why) &&
                   RestoreLengths(plan, names_changed, file, why) && Retire(plan, journal_path, why)
               ? Recovery::kRestored
               : Recovery::kFailed;
}
