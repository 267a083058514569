// bmpview FILE: shows a 16-bit BMP picture on the framebuffer. The rows go into the mapped
// framebuffer memory top row first; then the driver is asked to show the new content: the
// variable screen information is read, the update mode set and the display panned with the
// information just read.
//
// Exit status: 1 when the picture was shown, 255 on every failure.
#include <fcntl.h>
#include <linux/fb.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bmpReader.h"
#include "line_output.h"
#include "messages.h"
#include "run_record.h"
#include "std_descriptors.h"

namespace {

namespace msg = bmpview::msg;

constexpr int kStatusShown = 1;
constexpr int kStatusFailed = 255;
constexpr record::Outcome kOutcomes[] = {{kStatusShown, "shown"}, {kStatusFailed, "failed"}};

constexpr const char kFramebufferPath[] = "/dev/fb0";
// The panel driver's own request: the update mode for the next pan, passed by value.
constexpr unsigned long FB0_IOCTL_SET_MODE = 0x6003;
constexpr unsigned long kUpdateMode = 0;

// Reads the variable information, sets the update mode and pans with what was read; prints
// the failure of the first request that fails.
bool ShowFramebuffer(int fd) {
  fb_var_screeninfo vinfo{};
  if (ioctl(fd, FBIOGET_VSCREENINFO, &vinfo) < 0) {
    puts(msg::kVarInfoError);
    return false;
  }
  if (ioctl(fd, FB0_IOCTL_SET_MODE, kUpdateMode) < 0) {
    puts(msg::kSetModeError);
    return false;
  }
  if (ioctl(fd, FBIOPAN_DISPLAY, &vinfo) < 0) {
    puts(msg::kPanError);
    return false;
  }
  return true;
}

int Run(int argc, char** argv) {
  bm77::KeepStandardDescriptorsOpen();  // before anything is opened
  bm77::UseLineBufferedOutput();
  if (argc != 2) {
    puts(msg::kInvalidArguments);
    return kStatusFailed;
  }
  if (show_bmp_file(argv[1]) == -1) {
    printf(msg::kErrorReadBmpFile, argv[1]);
    return kStatusFailed;
  }
  record::SetPicture(srcbmp_width, srcbmp_height);

  const int fd = open(kFramebufferPath, O_RDWR);
  if (fd < 0) {
    perror(msg::kCannotOpenDevice);
    return kStatusFailed;
  }
  fb_fix_screeninfo finfo{};
  if (ioctl(fd, FBIOGET_FSCREENINFO, &finfo) < 0) {
    perror(msg::kFixedInfoRequest);
    fputs(msg::kErrorFixedInfo, stdout);
    close(fd);
    return kStatusFailed;
  }
  const size_t fb_mem_size = finfo.smem_len;
  void* fb_mem = mmap(nullptr, fb_mem_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (fb_mem == MAP_FAILED) {
    perror(msg::kMmapError);
    close(fd);
    return kStatusFailed;
  }

  DisplayBMPData(static_cast<unsigned char*>(fb_mem), fb_mem_size);
  printf(msg::kFbMemSize, static_cast<int>(fb_mem_size));
  // The picture is in the framebuffer memory already; a failure from here on leaves it there
  // and the mapping to the process's end.
  if (!ShowFramebuffer(fd)) return kStatusFailed;

  printf(msg::kShownLine, __LINE__);
  munmap(fb_mem, fb_mem_size);
  close(fd);
  return kStatusShown;
}

}  // namespace

int main(int argc, char** argv) {
  record::Start("bmpview", argc, argv);
  return record::Finish(Run(argc, argv), kOutcomes);
}
