#pragma once
// Whose bytes a stretch of a disk holds. Every file a scan lists, live or deleted, of the volume in
// use or of one formatted over, or found by its signature, claims the sectors its data is read
// from; so do the structures that hold clusters without being a file (an allocation table's chains,
// a bitmap's marks, metadata). Where two claims share a sector, only the one proven written last
// has its own bytes there: every other claimant is counted incomplete, and where the order cannot
// be proven, every claimant is. The weighing is one sweep over the claims' extents ordered by
// start, with the extents still open kept ordered by end: linear in the claims where they do not
// pile up, with no window and no cap.
//
// Claims are made in device sectors, so that files of volumes with other cluster sizes (a volume
// formatted over another), and files found by signature, are weighed against each other as they
// lie on the disk.
#include <string>
#include <vector>

#include "platform/Types.h"

class IDataRunList;
class IFileProperties;

// What is known of when a claim's clusters were written. A claim is newer than another when, in
// this order: its volume is a newer generation; it belongs to a file system and the other was
// found by signature; it is in use and the other is not; both are deleted and its record's log
// sequence number is the larger (both known and different); both are deleted and its clusters
// were first written after the other's were last written (writtenFrom > other's writtenUntil,
// both known). Nothing else proves an order.
struct ClaimAge {
    // Volumes formatted over one another: the newest is the largest. Every file of a newer
    // volume, live or deleted, is newer than every file of an older one.
    u32 generation = 0;
    // Live now: the volume's allocation holds it.
    bool inUse = false;
    // Found by its signature in space no structure describes: every file-system claim on its
    // sectors is newer. Two such claims are never weighed against each other (a file found
    // inside another, a picture inside a document, is both's own).
    bool carved = false;
    // The log sequence number of a deleted record: it grows with every change, and the last
    // change of a deleted record is its deletion. 0 when unknown.
    u64 lsn = 0;
    // FILETIME bounds of when the clusters were written; 0 when unknown. writtenFrom: the
    // clusters were first given no earlier than this (a file's creation on this volume, which a
    // copy sets anew). writtenUntil: they were last written no later than this (the later of
    // its creation and modification times: a copy keeps the modification time of its source,
    // which is older than the write itself, never newer).
    FILETIME64 writtenFrom = 0;
    FILETIME64 writtenUntil = 0;
};

// The age evidence of a deleted or live file-system entry from its properties' creation and
// modification times (FAT, exFAT, NTFS's standard information).
ClaimAge AgeFromTimes(const IFileProperties& properties, u32 generation, bool inUse);

class CClusterClaims {
public:
    using ClaimId = u32;
    // Claims that share an owner are one file's (the names of one record, a deleted entry a move
    // left behind and the moved file): they never weigh against each other. 0 owns nothing.
    using Owner = u64;

    // A claim for `file` (null for structures: their claim takes sectors from others but is never
    // counted incomplete itself). The properties are not held: they must outlive Weigh.
    ClaimId Add(IFileProperties* file, const ClaimAge& age, Owner owner = 0);
    // `count` sectors from device sector `first`.
    void AddSectors(ClaimId claim, u64 first, u64 count);
    // The sectors of the first `size` bytes of runs of a volume that starts at device sector
    // volumeStart, with sectorsPerCluster sectors of sectorSize bytes a cluster: holes and extents
    // off the volume take none. `size` is rounded up to whole sectors, not clusters: the part of a
    // file's last cluster past its end still holds an older file's bytes.
    void AddRuns(ClaimId claim, const IDataRunList& runs, u64 size, u64 volumeStart, u32 sectorsPerCluster,
                 u32 sectorSize);

    // Whether a claim other than those of `exceptOwner` takes a sector of [first, first + count).
    // Answers from the claims made so far.
    bool AnyClaimOn(u64 first, u64 count, Owner exceptOwner) const;

    // Weighs every claim against every other that shares a sector with it. The losing claims'
    // files get kStateClustersTaken and one trace line each, naming `what` (the volume or scan);
    // answers the ids of the losing claims, in order.
    std::vector<ClaimId> Weigh(const char* what);

    size_t GetClaimCount() const { return m_claims.size(); }
    size_t GetExtentCount() const { return m_extents.size(); }

private:
    struct Claim {
        IFileProperties* file;
        ClaimAge age;
        Owner owner;
    };
    struct Extent {
        u64 first;
        u64 end;  // one past the last sector
        ClaimId claim;
    };
    // -1: a is newer, 1: b is newer, 0: no order is proven; 2: they do not weigh (one owner,
    // two structures, two files found by signature, a structure and a live file).
    int Compare(const Claim& a, const Claim& b) const;
    // The extents ordered by start, with the furthest end reached up to each: made again after
    // claims were added.
    void BuildIndex() const;

    std::vector<Claim> m_claims;
    std::vector<Extent> m_extents;
    mutable std::vector<Extent> m_sorted;
    mutable std::vector<u64> m_maxEnd;
    mutable bool m_indexed = false;
};

// Whether a is proven newer than b by the rules above; exposed for the feeders' own ordering
// (which of two candidates a scan keeps). Answers false where no order is proven.
bool ClaimIsNewer(const ClaimAge& a, const ClaimAge& b);
