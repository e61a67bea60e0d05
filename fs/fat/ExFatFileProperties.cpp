#include "fs/fat/ExFatFileProperties.h"

#include <new>

#include "engine/RSData.h"
#include "fs/fat/FatFileProperties.h"

void CExFatFileProperties::SetRunList(IDataRunList* runs) {
    ReplaceRuns(runs);
    delete runs;
}

void CExFatFileProperties::Save(IRSData* stream) const {
    SaveHead(stream);
    stream->WriteU32(m_firstCluster);
    stream->WriteU32(m_secondCluster);
    SaveRuns(stream);
}

void CExFatFileProperties::Load(IRSData* stream) {
    m_flag = 0;
    LoadHead(stream, SavedName::UpToFirstZero);
    m_firstCluster = stream->ReadU32();
    m_secondCluster = stream->ReadU32();
    LoadRuns(stream);
}

void CExFatDataRunList::AppendClusterRun(const DataRunExtent& extent) { AppendExtentMerged(this, extent); }

CExFatFileProperties* NewExFatFileProperties() { return new (std::nothrow) CExFatFileProperties; }

CExFatFileProperties* LoadExFatFileProperties(IRSData* stream) {
    return LoadNewFileProperties(PropertiesRef<CExFatFileProperties>(NewExFatFileProperties()), stream);
}

void SetFolderPropertiesName(CExFatFileProperties* properties, const char* name) {
    if (properties == nullptr) return;
    properties->SetName(name != nullptr ? name : "");
    properties->SetAttributes(u16(properties->GetAttributes() | kAttrDirectory));
}

IFileProperties* CreateExFatFolderProperties(const char* name) {
    CExFatFileProperties* p = NewExFatFileProperties();
    if (p == nullptr) return nullptr;
    SetFolderPropertiesName(p, name);
    p->SetSecondClusterWord(kExFatRootClusterWord);
    return p;
}
