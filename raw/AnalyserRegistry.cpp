#include "raw/AnalyserRegistry.h"

#include "raw/AnalyserTables.h"

CRawFileAnalyserRegistry& CRawFileAnalyserRegistry::Instance() {
    static CRawFileAnalyserRegistry registry(CreateRawFileAnalyser);
    return registry;
}

CRawFileAnalyserRegistry::CRawFileAnalyserRegistry(const AnalyserFactory& factory) {
    if (!factory) return;
    FillSignature4Map(factory);
    FillSignature2Map(factory);
    FillOffsetAnalyserList(factory);
    FillAnalyserList(factory);
}

CRawFileAnalyserRegistry::~CRawFileAnalyserRegistry() = default;

IRawFileAnalyser* CRawFileAnalyserRegistry::Make(const AnalyserFactory& factory, RawAnalyserClass cls) {
    std::unique_ptr<IRawFileAnalyser> analyser(factory(cls));
    if (!analyser) return nullptr;
    m_owned.push_back(std::move(analyser));
    return m_owned.back().get();
}

void CRawFileAnalyserRegistry::FillSignature4Map(const AnalyserFactory& factory) {
    for (const Signature4Entry& entry : Signature4Assignments()) {
        const u32 key = Signature4Key(entry.bytes);
        IRawFileAnalyser* analyser = Make(factory, entry.cls);
        // A later assignment decides the key even when its class is missing: the compound-file
        // signature must never fall back to the analyser it replaced.
        if (analyser != nullptr) {
            m_signature4[key] = analyser;
        } else {
            m_signature4.erase(key);
        }
    }
}

void CRawFileAnalyserRegistry::FillSignature2Map(const AnalyserFactory& factory) {
    for (const Signature2Entry& entry : Signature2Inserts()) {
        if (IRawFileAnalyser* analyser = Make(factory, entry.cls)) {
            m_signature2.emplace(Signature2Key(entry.bytes), analyser);
        }
    }
}

void CRawFileAnalyserRegistry::FillOffsetAnalyserList(const AnalyserFactory& factory) {
    for (RawAnalyserClass cls : OffsetAnalyserClasses()) {
        if (IRawFileAnalyser* analyser = Make(factory, cls)) {
            m_offsetAnalysers.push_back(analyser);
            m_offsetProbes.push_back(OffsetProbeOf(cls));
        }
    }
}

void CRawFileAnalyserRegistry::FillAnalyserList(const AnalyserFactory& factory) {
    for (RawAnalyserClass cls : AnalyserListClasses()) {
        if (IRawFileAnalyser* analyser = Make(factory, cls)) m_analysers.push_back(analyser);
    }
}

const CRawFileAnalyserRegistry::Signature4Map& CRawFileAnalyserRegistry::GetSignature4Map(u32 /*set*/) const {
    return m_signature4;
}

const CRawFileAnalyserRegistry::Signature2Map& CRawFileAnalyserRegistry::GetSignature2Map(u32 /*set*/) const {
    return m_signature2;
}

const std::vector<OffsetProbe>& CRawFileAnalyserRegistry::GetOffsetProbes(u32 /*set*/) const { return m_offsetProbes; }

const CRawFileAnalyserRegistry::AnalyserList& CRawFileAnalyserRegistry::GetOffsetAnalyserList(u32 /*set*/) const {
    return m_offsetAnalysers;
}

const CRawFileAnalyserRegistry::AnalyserList& CRawFileAnalyserRegistry::GetAnalyserList() const { return m_analysers; }

IRawFileAnalyser* CRawFileAnalyserRegistry::FindSignature4(u32 key) const {
    auto it = m_signature4.find(key);
    return it == m_signature4.end() ? nullptr : it->second;
}

CRawFileAnalyserRegistry::Signature2Range CRawFileAnalyserRegistry::FindSignature2(u16 key) const {
    return m_signature2.equal_range(key);
}
