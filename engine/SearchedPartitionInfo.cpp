#include "engine/SearchedPartitionInfo.h"

#include <cstring>

#include "engine/RSData.h"

CSearchedPartitionInfo::CSearchedPartitionInfo(u32 sectorSize) : m_sectorSize(NormaliseSectorSize(sectorSize)) {}

u32 CSearchedPartitionInfo::NormaliseSectorSize(u32 sectorSize) {
    return (sectorSize == 0 || sectorSize % 512 != 0) ? 512 : sectorSize;
}

void CSearchedPartitionInfo::Save(IRSData* stream) {
    if (stream == nullptr) return;
    u64 scoreBits = 0;
    static_assert(sizeof(scoreBits) == sizeof(m_score), "score is an IEEE double");
    std::memcpy(&scoreBits, &m_score, sizeof scoreBits);
    stream->WriteU32(m_fsCode);
    stream->WriteU32(m_sectorsPerCluster);
    stream->WriteU64(m_partitionStart);
    stream->WriteU64(m_foundStart);
    stream->WriteU64(m_rawTypeMatches);
    stream->WriteU64(m_evidenceCount);
    stream->WriteU32(m_partitionId);
    stream->WriteU64(m_totalSectors);
    stream->WriteU64(m_bootScore);
    stream->WriteU64(scoreBits);
    stream->WriteU32(m_chosen);
    stream->WriteU32(m_sectorSize);
}

void CSearchedPartitionInfo::Load(IRSData* stream) {
    if (stream == nullptr) return;
    m_fsCode = stream->ReadU32();
    m_sectorsPerCluster = stream->ReadU32();
    m_partitionStart = stream->ReadU64();
    m_foundStart = stream->ReadU64();
    m_rawTypeMatches = stream->ReadU64();
    m_evidenceCount = stream->ReadU64();
    m_partitionId = stream->ReadU32();
    m_totalSectors = stream->ReadU64();
    m_bootScore = stream->ReadU64();
    const u64 scoreBits = stream->ReadU64();
    std::memcpy(&m_score, &scoreBits, sizeof m_score);
    m_chosen = stream->ReadU32();
    // A saved size of 0 or one that is no multiple of 512 would break every sector computation
    // made from the record; it is normalised as the constructor does.
    m_sectorSize = NormaliseSectorSize(stream->ReadU32());
}
