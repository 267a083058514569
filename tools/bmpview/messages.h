// Every line bmpview prints, in one place: the reader's traces and the tool's messages.
#pragma once

namespace bmpview::msg {

// Traces of the reader. Each begins with the source file, the function and the line.
constexpr const char kTraceStart[] = "file=[%s](%s)(%d) start.\n";
constexpr const char kTraceEnd[] = "file=[%s](%s)(%d) end.\n";
constexpr const char kTraceFileHeaderSize[] = "file=[%s](%s)(%d) sizeof(BITMAPFILEHEADER)=[%d]\n";
constexpr const char kTraceType[] = "file=[%s](%s)(%d) bfType[0]=[%d], bfType[1]=[%d]\n";
constexpr const char kTraceSize[] = "file=[%s](%s)(%d) bfSize=[%d]\n";
constexpr const char kTraceOffBits[] = "file=[%s](%s)(%d) bfOffBits=[%d]\n";
constexpr const char kTraceInfoHeaderSize[] = "file=[%s](%s)(%d) sizeof(BITMAPINFOHEADER)=[%d]\n";
constexpr const char kTraceDimensions[] = "file=[%s](%s)(%d) biWidth=[%d], biHeight=[%d]\n";
constexpr const char kTraceBitCount[] = "file=[%s](%s)(%d) biBitCount=[%d].\n";
constexpr const char kTracePalette[] = "file=[%s](%s)(%d) rgb555=[%d], rgb565=[%d]\n";

// Reader failures
constexpr const char kCannotOpenFile[] = "can not open file=[%s].";  // no newline
constexpr const char kImageTooLarge[] =
    "can not load image: biWidth=[%d], biHeight=[%d] does not fit %d bytes.\n";
constexpr const char kNegativeWidth[] = "can not load image: negative biWidth=[%d].\n";
constexpr const char kNot16Bit[] = "can not load image: not a 16-bit BMP picture.";

// The tool
constexpr const char kInvalidArguments[] = "Invalid Arguments!";
constexpr const char kErrorReadBmpFile[] = "Error Read BMP File %s\n";
constexpr const char kCannotOpenDevice[] = "can not open device usbkeyboard!";
constexpr const char kFixedInfoRequest[] = "QLinuxFbScreen::connect";
constexpr const char kErrorFixedInfo[] = "Error reading fixed information";  // no newline
constexpr const char kMmapError[] = "mmap error.!";
constexpr const char kFbMemSize[] = "fb_mem_size = %d\n";
constexpr const char kVarInfoError[] = "get FBIOGET_VSCREENINFO error !";
constexpr const char kSetModeError[] = "get FB0_IOCTL_SET_MODE error !";
constexpr const char kPanError[] = "get FFBIOPAN_DISPLAY error !";
constexpr const char kShownLine[] = "--line=[%d]--\n";

}  // namespace bmpview::msg
