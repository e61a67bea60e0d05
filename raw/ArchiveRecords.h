#pragma once
// The block and record rules the RAR and ZIP analysers walk an archive by: whether a block or
// record is plausible, how long it is, and which document type a ZIP entry's name reveals.
#include <cstddef>

#include "platform/Types.h"

// RAR 2.x to 4.x blocks: a 7-byte base header (CRC, type, flags, header size) and the type's fields.
bool RarBlockIsValid(const u8* block, size_t length);
// Header and data of a valid block, in bytes; false when the block or its header size is not usable.
bool RarBlockSize(const u8* block, size_t length, u64& size);

constexpr u32 kZipLocalHeader = 0x04034B50;
constexpr u32 kZipCentralHeader = 0x02014B50;
constexpr u32 kZipEndOfCentral = 0x06054B50;

// Document types a ZIP archive may turn out to be (file-type numbers).
enum ZipDocumentType : u32 {
    kZipDocx = 73, kZipXlsx = 74, kZipPptx = 75, kZipPages = 110, kZipKey = 111, kZipNumbers = 112, kZipEpub = 114,
};

bool ZipRecordIsValid(const u8* record, size_t length);
// The record's whole length (header, name, extra field, data or comment); false for a signature
// it does not know or a record shorter than its fixed part. `documentType` is the archive's type
// so far and may change by the record's name (office names with `office` set, iWork and e-book
// names on local records without it).
bool ZipRecordLength(const u8* record, size_t length, u64& recordLength, bool office, u32& documentType);
