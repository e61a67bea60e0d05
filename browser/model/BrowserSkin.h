#pragma once
// The browser's look and texts: built-in English defaults that FileSelCtrl.xml of the language
// folder overrides. Every window reads the current values when it draws or lays out.
#include <array>
#include <string>

#include "platform/Types.h"

class TiXmlElement;

namespace FileSelCtrl {

using Colour = u32;  // 0x00BBGGRR
using Argb = u32;    // 0xAARRGGBB

struct FontSpec {
    std::string face = "Arial";
    int points = 10;
    int charSet = 1;
    int weight = 400;
};

struct ColumnSpec {
    std::string name;
    int width = 0;
};

constexpr int kColumnCount = 4;
constexpr int kTreeNameCount = 4;
constexpr int kQualityCount = 4;

struct BrowserSkin {
    // PublicResource
    std::string checkStateFile = "CheckState.bmp";
    Colour checkStateMask = 0xFF00FF;
    int checkStateWidth = 16;
    std::string previewViewFile = "preview.bmp";
    std::string previewViewTip = "Preview";
    std::string iconViewFile = "view_row.bmp";
    std::string iconViewTip = "Large icons";
    std::string reportViewFile = "view_list.bmp";
    std::string reportViewTip = "Details";
    std::string splitterViewFile = "view_preview.bmp";
    std::string splitterViewTip = "Preview pane";
    int buttonWidth = 27;
    int buttonHeight = 20;
    std::string arrowFile = "Arrange.bmp";
    Colour arrowMask = 0xFF00FF;
    int arrowWidth = 12;
    std::string treeTypeFile = "icon_type.bmp";
    Colour treeTypeMask = 0xFF00FF;
    int treeTypeWidth = 16;
    std::string treeTypeFile32 = "icon_type_32.bmp";
    int treeTypeWidth32 = 32;
    Colour splitterColour = 0xD3D3D3;
    int splitterWidth = 1;
    Colour commandTop = 0xFFF7F1;
    Colour commandBottom = 0xE3D9CA;
    int stripHeight = 32;
    int scrollBarSize = 9;
    std::string scrollNormal = "slider_normal.bmp";
    std::string scrollHover = "slider_hover.bmp";
    std::string scrollClick = "slider_press.bmp";
    // TreeName
    std::array<std::string, kTreeNameCount> treeNames{"Path", "Type", "Search", "Search"};
    // TypeTree
    std::string typeAll = "All File Types";
    std::string typeEmail = "Email and Chat";
    std::string typeGraphics = "Graphics";
    std::string typeAudio = "Audio";
    std::string typeVideo = "Video";
    std::string typeDocument = "Document";
    std::string typeOther = "Other";
    std::string dateRoot = "Modified Date";
    // TabCtrl
    Argb tabCaptionNormal = 0xFF9B9EA3;
    Argb tabCaptionSelected = 0xFF536378;
    Argb tabFillSelected = 0xFFFFFFFF;
    Argb tabFillNormal = 0xFF7F7F7F;
    Argb tabItemBorder = 0xFF969696;
    Argb tabClose = 0xFF050505;
    Argb tabFillCloseHover = 0xFFFFFFFF;
    FontSpec tabFont;
    // FileListCtrl
    FontSpec listFont;
    Colour listTextColour = 0x000000;
    Colour listBackground1 = 0xFCFCFC;
    Colour listBackground2 = 0xF5F4F3;
    Colour listSelected = 0xFEF7E1;
    std::array<ColumnSpec, kColumnCount> columns{{{"Name", 240}, {"Date", 160}, {"Type", 140}, {"Size", 100}}};
    FontSpec headerFont;
    Colour headerTextColour = 0x8A8A8B;
    Colour headerNormal = 0xFCFCFC;
    Colour headerHover = 0xFAF5F0;
    Colour headerItemBorder = 0xEEE8E3;
    Colour headerClickBorder = 0xD9CBC0;
    std::string selectAll = "Select all";
    int iconBarHeight = 35;
    Colour iconBackground1 = 0xF3F3F3;
    Colour iconBackground2 = 0xF9F9F9;
    Colour iconBorder = 0xECECEC;
    std::array<std::string, kQualityCount> quality{"Bad", "Poor", "Medium", "Good"};
    // RightCommand
    int buttonPos = 140;
    // SearchDlg
    std::string searchTextTip = "Type the name of the file to search for:";
    std::string searchButton = "Search";
    std::string searchCancel = "Cancel";
    // PreviewWnd
    FontSpec previewFont;
    Colour previewText = 0x696969;
    Colour previewIconBorder = 0xF5E5D6;
    std::string tipOfLoading = "Loading,Please wait...";
    // The same text in a row of the details view not loaded yet, which has a shorter fallback
    // when the file or the text is missing.
    std::string rowLoadingTip = "Loading...";
    std::string textFilename = "Filename";
    std::string textSize = "Size";
    std::string textDimension = "Dimension";
    std::string textCreation = "Creation";
    std::string textType = "Type";
    std::string textUnknown = "Unknown";
    std::string canNotPreview = "Cannot preview this file.";
    std::string imageFormatWarning = "Warning! Not support the image format!";
    std::string previewEncrypt = "Cannot preview encrypted file.";
    std::string fileTooLarge = "The file is too big to preview. (Max size: 100M)";
    std::string notSupportOffice = "Failed to preview the file. The file is neither a valid Word nor Excel document.";
    std::string emptyDir = "This folder is empty!";
    std::string filePreview = "- File Preview";
    std::string textPreview = "Text";
    std::string hexPreview = "Hex";
    std::string imgPreview = "Image";
    std::string butRecovery = "Recovery";
    std::string butClose = "Close";
    std::string lostPartition = "Losted Partition";
    // Texts of the list's menu (at most 20 characters each).
    std::string menuRecovery = "Recovery";
    std::string menuPreview = "Preview";
};

// The process-wide values (UI thread).
BrowserSkin& Skin();

// Puts the defaults back, then reads the document's root element over them. False when the file
// is missing or does not parse (the defaults stay).
bool LoadBrowserSkin(const std::string& xmlPath, BrowserSkin& skin);
void ReadBrowserSkin(const TiXmlElement* root, BrowserSkin& skin);

// A value for a field of the given size in bytes (terminator included): cut at a character
// boundary to size - 1 bytes.
std::string FitField(const std::string& value, size_t fieldSize);

// 0x00BBGGRR -> opaque 0xFFRRGGBB.
constexpr Argb OpaqueArgb(Colour c) { return 0xFF000000u | ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF); }

}  // namespace FileSelCtrl
