// The client side of the board socket: one connection per exchange, one Request, then the
// board's Replies until kDone. Memory the board asks for is moved with sendmsg/recv straight
// from and to the caller's pointer, so a bad pointer comes back as EFAULT instead of a crash.
#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "preload.h"

namespace bm77sim {

namespace {

// How long the board may take for one reply. It serves every connection at once, so only a
// board that is gone gets near this.
constexpr int kReplyTimeoutMs = 5000;

BM77SIM_SLOT(close);

// Abstract names ("@...") keep long build paths clear of the sun_path limit.
bool SocketAddress(sockaddr_un* addr, socklen_t* len) {
  const char* name = getenv(simwire::kEnvSocket);
  if (name == nullptr || name[0] == '\0') return false;
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t n = strlen(name);
  if (n >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, name, n);
  if (name[0] == '@') addr->sun_path[0] = '\0';
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + (name[0] == '@' ? 0 : 1));
  return true;
}

int Connect() {
  sockaddr_un addr;
  socklen_t len = 0;
  if (!SocketAddress(&addr, &len)) return -1;
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    BM77SIM_REAL(close)(fd);
    return -1;
  }
  return fd;
}

bool WaitReadable(int fd) {
  pollfd p = {fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, kReplyTimeoutMs);
  } while (r < 0 && errno == EINTR);
  return r == 1;
}

bool ReceiveReply(int fd, simwire::Reply* reply) {
  if (!WaitReadable(fd)) return false;
  const ssize_t n = recv(fd, reply, sizeof *reply, 0);
  return n == static_cast<ssize_t>(sizeof *reply) && reply->magic == simwire::kMagic;
}

bool SendStatus(int fd, uint32_t status) {
  return send(fd, &status, sizeof status, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof status);
}

// kMemRead: status and the caller's bytes in one message; a bad pointer sends kMemFault alone.
bool ServeMemRead(int fd, uint64_t base, const simwire::Reply& r) {
  uint32_t status = simwire::kMemOk;
  iovec iov[2] = {{&status, sizeof status},
                  {reinterpret_cast<void*>(static_cast<uintptr_t>(base) + r.offset), r.length}};
  msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  if (sendmsg(fd, &msg, MSG_NOSIGNAL) >= 0) return true;
  return errno == EFAULT && SendStatus(fd, simwire::kMemFault);
}

// kMemWrite: one message of bytes into the caller's memory, then the status.
bool ServeMemWrite(int fd, uint64_t base, const simwire::Reply& r) {
  if (!WaitReadable(fd)) return false;
  void* to = reinterpret_cast<void*>(static_cast<uintptr_t>(base) + r.offset);
  if (recv(fd, to, r.length, 0) >= 0) return SendStatus(fd, simwire::kMemOk);
  if (errno != EFAULT) return false;
  char scratch;
  (void)recv(fd, &scratch, sizeof scratch, MSG_DONTWAIT | MSG_TRUNC);  // drop what is left
  return SendStatus(fd, simwire::kMemFault);
}

// Runs one exchange; false when the board could not be reached or broke off.
bool Run(simwire::Request* req, simwire::Reply* done) {
  req->magic = simwire::kMagic;
  req->pid = getpid();
  const int fd = Connect();
  if (fd < 0) return false;
  bool ok = send(fd, req, sizeof *req, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof *req);
  while (ok) {
    ok = ReceiveReply(fd, done);
    if (!ok || done->kind == simwire::kDone) break;
    if (done->length > simwire::kMemChunkMax) {
      ok = false;
    } else if (done->kind == simwire::kMemRead) {
      ok = ServeMemRead(fd, req->arg_ptr, *done);
    } else if (done->kind == simwire::kMemWrite) {
      ok = ServeMemWrite(fd, req->arg_ptr, *done);
    } else {
      ok = false;
    }
  }
  BM77SIM_REAL(close)(fd);
  return ok;
}

void SetText(simwire::Request* req, const char* text) {
  if (text == nullptr) text = "";
  const size_t n = strnlen(text, simwire::kTextMax - 1);
  memcpy(req->text, text, n);
  req->text[n] = '\0';
}

simwire::Request NewRequest(uint32_t kind) {
  simwire::Request req;
  memset(&req, 0, sizeof req);
  req.kind = kind;
  return req;
}

}  // namespace

bool Hello(const char* exe) {
  simwire::Request req = NewRequest(simwire::kHello);
  SetText(&req, exe);
  simwire::Reply done;
  return Run(&req, &done) && done.kind == simwire::kDone;
}

void ReportViolation(const char* fmt, ...) {
  const int saved = errno;
  simwire::Request req = NewRequest(simwire::kViolation);
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(req.text, sizeof req.text, fmt, ap);
  va_end(ap);
  simwire::Reply done;
  (void)Run(&req, &done);
  errno = saved;
}

int ForwardIoctl(uint32_t device, unsigned request, void* arg) {
  simwire::Request req = NewRequest(simwire::kIoctl);
  req.device = device;
  req.request = request;
  // Only the low half is meaningful when the caller passed an int: the upper half of the
  // register is whatever was there before.
  req.arg_low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
  req.arg_ptr = reinterpret_cast<uintptr_t>(arg);
  simwire::Reply done;
  if (!Run(&req, &done) || done.kind != simwire::kDone) {
    errno = EIO;
    return -1;
  }
  if (done.result < 0) errno = done.err;
  return done.result;
}

int32_t AskSystem(const char* command) {
  simwire::Request req = NewRequest(simwire::kSystem);
  SetText(&req, command);
  simwire::Reply done;
  if (!Run(&req, &done) || done.kind != simwire::kDone) return -1;
  return done.result;
}

}  // namespace bm77sim
