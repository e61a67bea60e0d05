#pragma once
// Reads an Exif block (a JPEG APP1 section, or the same structure inside a TIFF-based raw file)
// into one record: camera, time of the shot and the shooting values. A small procedural parser
// for the scan thread; every error stops it and leaves its text in ExifLastError().
#include "platform/Types.h"

struct ExifInfo {

    u32 flags = 0;
    char version[5] = {};
    char cameraMake[32] = {};
    char cameraModel[40] = {};
    char dateTime[20] = {};
    char dateTimeDigitized[20] = {};
    i32 orientation = 0;
    i32 cleared0 = 0;
    i32 cleared1 = 0;
    float exposureTime = 0;
    float fNumber = 0;
    float ccdWidth = 0;
    i32 exposureProgram = 0;
    i32 isoEquivalent = 0;
    i32 meteringMode = 0;
    i32 lightSource = 0;
    i32 flash = 0;
    i32 compressedBitsPerPixel = 0;
    float brightness = 0;
    float exposureBias = 0;
    float subjectDistance = 0;
    float focalLength = 0;
    float focalPlaneXResolution = 0;
    float focalPlaneYResolution = 0;
    float focalPlaneUnits = 0;
    float xResolution = 0;
    float yResolution = 0;
    float resolutionUnit = 0;
    // Point into the parsed bytes (valid as long as they are).
    const u8* userComment = nullptr;
    u32 userCommentLength = 0;
    const u8* makerNote = nullptr;
    u32 makerNoteLength = 0;
    const u8* thumbnail = nullptr;
    u32 thumbnailSize = 0;
};

// 1 when the block ("Exif", two zero bytes, a TIFF header and its directories) was parsed.
u32 ParseExifBlock(const u8* block, u64 length, ExifInfo& info);
// The text of the last error of the scan thread's parses.
const char* ExifLastError();
