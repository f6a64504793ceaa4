#pragma once

#include <string>

#include "platform.h"

// The recovery: the journal of an interrupted or failed run (journal.h) rolls the file and its
// side-cars back. It is read in full and checked before anything is written (journal_reader.h),
// then applied (journal_recovery.cpp). Its invariants, after the writer's 1 to 5:
//  6. A journal is untrusted input. It is applied only when it is a regular file (never followed
//     through a symbolic link) owned by the file's owner or by the user running gapMend, that no
//     one else may write. Its records name only the file and the file's side-cars (IsSideCarName),
//     which are opened without following symbolic links, in the file's directory, and must be
//     regular files owned by the file's or the journal's owner (side-cars with one name only), or
//     absent. It never removes the file itself. The whole journal and every file it names pass
//     these checks before anything is written; one that exists but cannot be read is refused.
//  7. The recovery syncs the files (and the directory when it created or removed one) before it
//     zeroes the journal's header and deletes it; applying a journal twice does no harm.
//
// On Windows there is no directory sync, and none is needed (7; see journal.h). Owners are SIDs:
// the journal's owner is the file's owner or the user running gapMend (or, for an elevated
// administrator, the Administrators group), and "no one else may write it" is read from its ACL.
// Symbolic links and junctions are both refused, as links are on POSIX (6).

enum class Recovery {
    kNothing,   // no journal, or one with nothing to undo (now removed)
    kRestored,  // the files are as they were before the interrupted run
    kRefused,   // the journal is another file's, cannot be read, or is not to be trusted or
                // damaged (`why` says which); nothing was touched and it stays
    kFailed,    // the journal could not be applied; it stays for another try
};

// Rolls `file` and its side-cars back to the state the journal beside it records, syncs them
// and removes the journal. `why` says what went wrong for kRefused and kFailed.
Recovery RecoverFromJournal(const std::string& file, platform::FileIdentity identity,
                            std::string& why);
