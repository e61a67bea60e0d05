#pragma once
// The Windows numbers and small value types the window code keeps: messages, command results,
// DrawText flags, virtual keys, rectangles and COLORREF colours.
#include "platform/Types.h"
#include "platform/WindowPost.h"

using COLORREF = u32;  // 0x00BBGGRR
constexpr COLORREF RGB(u8 r, u8 g, u8 b) { return u32(r) | (u32(g) << 8) | (u32(b) << 16); }
constexpr u8 GetRValue(COLORREF c) { return u8(c & 0xFF); }
constexpr u8 GetGValue(COLORREF c) { return u8((c >> 8) & 0xFF); }
constexpr u8 GetBValue(COLORREF c) { return u8((c >> 16) & 0xFF); }

struct RECT {
    i32 left = 0;
    i32 top = 0;
    i32 right = 0;
    i32 bottom = 0;
    i32 Width() const { return right - left; }
    i32 Height() const { return bottom - top; }
    bool Contains(i32 x, i32 y) const { return x >= left && x < right && y >= top && y < bottom; }
    bool operator==(const RECT&) const = default;
};
struct POINT {
    i32 x = 0;
    i32 y = 0;
};

constexpr LPARAM MAKELPARAM(int lo, int hi) {
    return static_cast<LPARAM>(static_cast<u32>((static_cast<u32>(lo) & 0xFFFF) | ((static_cast<u32>(hi) & 0xFFFF) << 16)));
}
constexpr WPARAM MAKEWPARAM(int lo, int hi) {
    return static_cast<WPARAM>((static_cast<u32>(lo) & 0xFFFF) | ((static_cast<u32>(hi) & 0xFFFF) << 16));
}
constexpr u16 LOWORD(std::uintptr_t v) { return static_cast<u16>(v & 0xFFFF); }
constexpr u16 HIWORD(std::uintptr_t v) { return static_cast<u16>((v >> 16) & 0xFFFF); }
// Signed coordinates packed in lParam.
constexpr int GET_X_LPARAM(LPARAM l) { return static_cast<i16>(LOWORD(static_cast<std::uintptr_t>(l))); }
constexpr int GET_Y_LPARAM(LPARAM l) { return static_cast<i16>(HIWORD(static_cast<std::uintptr_t>(l))); }

// Messages.
constexpr u32 WM_NULL = WM_NULL_MSG;
constexpr u32 WM_SIZE = 0x0005;
constexpr u32 WM_ACTIVATE = 0x0006;
constexpr u32 WM_SETFOCUS = 0x0007;
constexpr u32 WM_CLOSE = 0x0010;
constexpr u32 WM_PAINT = 0x000F;
constexpr u32 WM_ERASEBKGND = 0x0014;
constexpr u32 WM_SETCURSOR = 0x0020;
constexpr u32 WM_NCPAINT = 0x0085;
constexpr u32 WM_NCACTIVATE = 0x0086;
constexpr u32 WM_NCMOUSEMOVE = 0x00A0;
constexpr u32 WM_NCLBUTTONDOWN = 0x00A1;
constexpr u32 WM_NCLBUTTONUP = 0x00A2;
constexpr u32 WM_NCLBUTTONDBLCLK = 0x00A3;
constexpr u32 WM_KEYDOWN = 0x0100;
constexpr u32 WM_INITDIALOG = 0x0110;
constexpr u32 WM_COMMAND = WM_COMMAND_MSG;
constexpr u32 WM_SYSCOMMAND = 0x0112;
constexpr u32 WM_VSCROLL = 0x0115;
constexpr u32 WM_TIMER = WM_TIMER_MSG;
constexpr u32 WM_MOUSEMOVE = 0x0200;
constexpr u32 WM_LBUTTONDOWN = 0x0201;
constexpr u32 WM_LBUTTONUP = 0x0202;
constexpr u32 WM_LBUTTONDBLCLK = 0x0203;
constexpr u32 WM_MOUSEWHEEL = 0x020A;
constexpr u32 WM_MOUSEHOVER = 0x02A1;
constexpr u32 WM_NCMOUSELEAVE = 0x02A2;
constexpr u32 WM_MOUSELEAVE = 0x02A3;
constexpr u32 WM_USER = WM_USER_MSG;

// Window styles the program reads.
constexpr u32 WS_MAXIMIZEBOX = 0x00010000;
constexpr u32 WS_SYSMENU = 0x00080000;
constexpr u32 WS_VISIBLE = 0x10000000;
constexpr u32 WS_CHILD = 0x40000000;
constexpr u32 BS_CHECKBOX_BIT = 0x00000002;

constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM SC_MOVE = 0xF010;
constexpr u16 BN_CLICKED = 0;

// Scroll-bar requests of WM_VSCROLL (low word of wParam; the position in the high word for the
// thumb's).
constexpr u16 SB_LINEUP = 0;
constexpr u16 SB_LINEDOWN = 1;
constexpr u16 SB_PAGEUP = 2;
constexpr u16 SB_PAGEDOWN = 3;
constexpr u16 SB_THUMBTRACK = 5;

// Dialog results.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;

// Message-box style bits the program reads.
constexpr u32 MB_OKCANCEL = 0x01;
constexpr u32 MB_YESNO = 0x04;
constexpr u32 MB_ICONQUESTION = 0x20;
constexpr u32 MB_ICONWARNING = 0x30;
constexpr u32 MB_ICONINFORMATION = 0x40;

// DrawText flags. Vertical placement (DT_VCENTER, DT_BOTTOM) applies to single-line text only.
constexpr u32 DT_TOP = 0x0000;
constexpr u32 DT_LEFT = 0x0000;
constexpr u32 DT_CENTER = 0x0001;
constexpr u32 DT_RIGHT = 0x0002;
constexpr u32 DT_VCENTER = 0x0004;
constexpr u32 DT_BOTTOM = 0x0008;
constexpr u32 DT_WORDBREAK = 0x0010;
constexpr u32 DT_SINGLELINE = 0x0020;
constexpr u32 DT_NOCLIP = 0x0100;
constexpr u32 DT_CALCRECT = 0x0400;
constexpr u32 DT_NOPREFIX = 0x0800;
constexpr u32 DT_END_ELLIPSIS = 0x8000;

// Virtual keys.
constexpr u32 VK_RETURN = 0x0D;
constexpr u32 VK_ESCAPE = 0x1B;
constexpr u32 VK_F1 = 0x70;

// Owner-draw item states and actions.
constexpr u32 ODS_SELECTED = 0x0001;
constexpr u32 ODS_DISABLED = 0x0004;
constexpr u32 ODS_FOCUS = 0x0010;
constexpr u32 ODA_DRAWENTIRE = 0x0001;
constexpr u32 ODA_FOCUS = 0x0004;
