#pragma once

// The journal's layout on the disk, shared by its writer (journal.cpp) and its reader
// (journal_reader.cpp), and how both retire it; journal.h states what it guarantees. All numbers
// are little-endian, as the machine writes them.
//
//   header (the first page):  "gapMend journal\n", salt u64, inode u64, birth time: seconds i64,
//                             nanoseconds u32; checksum u32 of the 44 bytes before it; zeros.
//   batches, each from a page boundary on: a batch head, records, zeros to the next page.
//   record:                   kind u32, file u32, where u64, size u64, `size` bytes of payload,
//                             checksum u32 of all of it.
//     batch head:  file = sequence number from 0, where = length of the batch's records, size 0
//     file:        file = its index from 0, where = original length (-1: absent), payload = its
//                  mode u32 and its name
//     bytes:       file = the file's index, where = offset, payload = the original bytes
//
// Every checksum is a CRC-32 that starts from the salt's eight bytes.

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "platform.h"

namespace journal_format {

constexpr char kMagic[16] = {'g', 'a', 'p', 'M', 'e', 'n', 'd', ' ',
                             'j', 'o', 'u', 'r', 'n', 'a', 'l', '\n'};
// The header's fields, at these offsets.
constexpr std::size_t kSaltAt = 16, kInodeAt = 24, kBirthSecondsAt = 32, kBirthNanosecondsAt = 40,
                      kHeaderChecksumAt = 44, kHeaderSize = 48;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kHeadSize = 24;  // of a record, before its payload
// A record's fields after its kind, at these offsets.
constexpr std::size_t kFileAt = 4, kWhereAt = 8, kSizeAt = 16;
constexpr std::size_t kChecksumSize = 4;
constexpr std::size_t kBatchHeadSize = kHeadSize + kChecksumSize;
enum Kind : std::uint32_t { kFile = 1, kBytes = 2, kBatch = 3 };

inline std::uint32_t Checksum(std::uint64_t salt, const unsigned char* bytes, std::size_t size) {
    const uLong seeded = crc32(0, reinterpret_cast<const Bytef*>(&salt), sizeof salt);
    return static_cast<std::uint32_t>(crc32_z(seeded, bytes, size));
}

template <typename T>
void Put(std::vector<unsigned char>& out, T value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    out.insert(out.end(), bytes, bytes + sizeof value);
}

template <typename T>
T Get(const unsigned char* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

template <typename T>
void PutAt(std::vector<unsigned char>& out, std::size_t at, T value) {
    std::memcpy(&out[at], &value, sizeof value);
}

// What a header says: the salt of every checksum in the journal, and the file it belongs to.
struct Header {
    std::uint64_t salt = 0;
    platform::FileIdentity file;
};

inline std::vector<unsigned char> HeaderBytes(const Header& header) {
    std::vector<unsigned char> bytes(kMagic, kMagic + sizeof kMagic);
    bytes.resize(kHeaderSize);
    PutAt(bytes, kSaltAt, header.salt);
    PutAt(bytes, kInodeAt, header.file.inode);
    PutAt(bytes, kBirthSecondsAt, header.file.birth_seconds);
    PutAt(bytes, kBirthNanosecondsAt, header.file.birth_nanoseconds);
    PutAt(bytes, kHeaderChecksumAt, Checksum(header.salt, bytes.data(), kHeaderChecksumAt));
    return bytes;
}

// The header in the first kHeaderSize `bytes`: false when they are not a journal's header.
inline bool ReadHeader(const unsigned char* bytes, Header& header) {
    header.salt = Get<std::uint64_t>(bytes + kSaltAt);
    header.file = {Get<std::uint64_t>(bytes + kInodeAt), Get<std::int64_t>(bytes + kBirthSecondsAt),
                   Get<std::uint32_t>(bytes + kBirthNanosecondsAt)};
    return std::memcmp(bytes, kMagic, sizeof kMagic) == 0 &&
           Checksum(header.salt, bytes, kHeaderChecksumAt) ==
               Get<std::uint32_t>(bytes + kHeaderChecksumAt);
}

// Retires a journal: its header overwritten with zeros, and synced. A zero header is never
// applied (journal.h, invariant 5), so the journal's deletion after it may be lost.
inline bool RetireHeader(platform::FileHandle journal) {
    static const unsigned char zeros[kHeaderSize] = {};
    return platform::WriteWhole(journal, zeros, kHeaderSize, 0) == platform::Whole::kYes &&
           platform::SyncData(journal);
}

inline std::uint64_t RoundUpToPage(std::uint64_t size) {
    return (size + kPage - 1) / kPage * kPage;
}

// A record made in `record`, whose memory is used again: `fill` puts its `size` bytes of payload
// where it is told, then the checksum is set. False, with `record` unfinished, when `fill` is.
template <typename Fill>
bool RecordInPlace(std::vector<unsigned char>& record, Kind kind, std::uint32_t file,
                   std::uint64_t where, std::size_t size, std::uint64_t salt, const Fill& fill) {
    record.clear();
    Put<std::uint32_t>(record, kind);
    Put<std::uint32_t>(record, file);
    Put<std::uint64_t>(record, where);
    Put<std::uint64_t>(record, size);
    record.resize(kHeadSize + size + kChecksumSize);
    if (!fill(&record[kHeadSize])) return false;
    PutAt(record, kHeadSize + size, Checksum(salt, record.data(), kHeadSize + size));
    return true;
}

// A record, or a batch head when `kind` is kBatch.
inline std::vector<unsigned char> Record(Kind kind, std::uint32_t file, std::uint64_t where,
                                         const void* payload, std::size_t size,
                                         std::uint64_t salt) {
    std::vector<unsigned char> record;
    RecordInPlace(record, kind, file, where, size, salt, [&](unsigned char* bytes) {
        if (size > 0) std::memcpy(bytes, payload, size);
        return true;
    });
    return record;
}

// A record read back: its head's fields and where its payload lies.
struct RecordView {
    std::uint32_t kind, file;
    std::uint64_t where, size;
    const unsigned char* payload;
};

// The record at the start of `bytes`, which hold `available` bytes: false when it does not fit in
// them or fails its checksum. Its size is checked before anything else is read.
inline bool ReadRecord(const unsigned char* bytes, std::size_t available, std::uint64_t salt,
                       RecordView& record) {
    if (available < kHeadSize + kChecksumSize) return false;
    record = {Get<std::uint32_t>(bytes), Get<std::uint32_t>(bytes + kFileAt),
              Get<std::uint64_t>(bytes + kWhereAt), Get<std::uint64_t>(bytes + kSizeAt),
              bytes + kHeadSize};
    if (record.size > available - kHeadSize - kChecksumSize) return false;
    const std::size_t body = kHeadSize + record.size;
    return Checksum(salt, bytes, body) == Get<std::uint32_t>(bytes + body);
}

}  // namespace journal_format
