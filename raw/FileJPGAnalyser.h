#pragma once
// JPEG photos: recognised by their start marker and APP0/APP1 identifier, sized by walking the
// marker segments up to the image data and then searching the end-of-image marker sector by
// sector; named after the camera and the time of the shot when they carry an Exif block.
#include <string>

#include "raw/RawFileAnalyser.h"

struct ReadWindow;

class FileJPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr u32 kTypeJpeg = 35;
    static constexpr i32 kSubTypeCamera = 3;

    FileJPGAnalyser() : IRawFileAnalyser(kTypeJpeg) {}

    u32 AnalyseFileSize(CRawFileInfo& record, IStorageDevice* reader) override;
    u32 CheckFileHeader(const u8* sector, u32 held, CRawFileInfo& record) override;
    std::string GetInfoText1() override { return m_text1; }
    std::string GetInfoText2() override { return m_text2; }
    void GetSubTypeInfo(u32& id, std::string& text) override {
        id = static_cast<u32>(m_subTypeId);
        text = m_subTypeText;
    }

private:
    enum class Road { Plain, Exif, Jfif };

    u32 PlainRoad(CRawFileInfo& record, ReadWindow& window);
    u32 ExifRoad(CRawFileInfo& record, ReadWindow& window, u64 exifAt);
    void ReadExif(CRawFileInfo& record, ReadWindow& window, u64 exifAt);
    u64 EndSearch(ReadWindow& window, u64 from, u64 limit) const;

    std::string m_text1;
    std::string m_text2;
    u64 m_sectorSize = 0;
    i32 m_subTypeId = -1;
    std::string m_subTypeText;
};
