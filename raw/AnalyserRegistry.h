#pragma once
// The process-wide holder of every format analyser and of the lookup structures through which a
// sector finds its analyser: a map from the sector's first four bytes, a multimap from its first
// two bytes, and the short list of analysers whose signature does not sit at the sector's start.
#include <functional>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "platform/Types.h"
#include "raw/AnalyserTables.h"
#include "raw/RawFileAnalyser.h"

class CRawFileAnalyserRegistry {
public:
    using Signature4Map = std::map<u32, IRawFileAnalyser*>;
    // Analysers under one key keep their insertion order, which is the order they are asked in.
    using Signature2Map = std::multimap<u16, IRawFileAnalyser*>;
    using AnalyserList = std::vector<IRawFileAnalyser*>;
    using Signature2Range = std::pair<Signature2Map::const_iterator, Signature2Map::const_iterator>;
    // Makes a new analyser of a class, or null when the class is not available.
    using AnalyserFactory = std::function<IRawFileAnalyser*(RawAnalyserClass)>;

    // The registry of the process, filled with the analysers of this build on the first call.
    static CRawFileAnalyserRegistry& Instance();

    // Fills the structures from the fixed signature tables, asking the factory for a new analyser
    // at every entry; entries whose class the factory cannot make are left out.
    explicit CRawFileAnalyserRegistry(const AnalyserFactory& factory);
    ~CRawFileAnalyserRegistry();
    CRawFileAnalyserRegistry(const CRawFileAnalyserRegistry&) = delete;
    CRawFileAnalyserRegistry& operator=(const CRawFileAnalyserRegistry&) = delete;

    // The selector names a set of tables; there is one set, 0, which every caller asks for.
    const Signature4Map& GetSignature4Map(u32 set) const;
    const Signature2Map& GetSignature2Map(u32 set) const;
    // The analysers tried on a sector that no map entry matched (LZH, EMF, TAR); the FAT searches
    // test cluster headers with them. Empty while none of them is available.
    const AnalyserList& GetOffsetAnalyserList(u32 set) const;
    // The probe of each analyser of the offset list, in the list's order.
    const std::vector<OffsetProbe>& GetOffsetProbes(u32 set) const;
    // Every analyser, in the fixed order of the full list.
    const AnalyserList& GetAnalyserList() const;

    // The keys of a sector: its first four, respectively two, bytes read little-endian.
    static u32 Signature4Key(const u8* sector) { return ReadLE32(sector); }
    static u16 Signature2Key(const u8* sector) { return ReadLE16(sector); }
    // The analyser filed under a 4-byte key, null when none.
    IRawFileAnalyser* FindSignature4(u32 key) const;
    // The analysers filed under a 2-byte key, in the order they are to be asked (empty when none).
    Signature2Range FindSignature2(u16 key) const;

private:
    IRawFileAnalyser* Make(const AnalyserFactory& factory, RawAnalyserClass cls);
    void FillSignature4Map(const AnalyserFactory& factory);
    void FillSignature2Map(const AnalyserFactory& factory);
    void FillOffsetAnalyserList(const AnalyserFactory& factory);
    void FillAnalyserList(const AnalyserFactory& factory);

    Signature4Map m_signature4;
    Signature2Map m_signature2;
    AnalyserList m_offsetAnalysers;
    std::vector<OffsetProbe> m_offsetProbes;
    AnalyserList m_analysers;
    // Every analyser made, reachable or not (a 4-byte key assigned twice keeps only the later
    // instance in the map); all live as long as the registry.
    std::vector<std::unique_ptr<IRawFileAnalyser>> m_owned;
};
