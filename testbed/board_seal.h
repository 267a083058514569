// The second seal around a program under test: a private mount namespace in which /dev holds
// only harmless nodes, the board's pseudo-terminal as /dev/ttyS0 and the board's own device
// files, in which no other device node opens, and which the program cannot undo. Then even a
// raw system call, which passes by the preload library, reaches no hardware of the machine.
//
// The namespace belongs to the child alone: it is made after fork, every mount lands in it
// (never in the machine's namespace) and it is gone when the program ends.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testbed {

enum class SealMode {
  kNone,          // this process may not make a mount namespace: the preload library guards alone
  kMount,         // a mount namespace (root)
  kUserAndMount,  // a user namespace first, then the mount namespace (an ordinary user)
};

// How this process can seal its programs; tried once, in a throwaway child.
SealMode AvailableSeal();
// Why it cannot ("" when it can): the step that failed and the system's error, for example
// "making the namespace's mounts private: Invalid argument" in a chroot whose root is no
// mount point of its own.
const std::string& SealUnavailable();
// A mount namespace can be made here, but the seal cannot be built in it.
bool NamespaceWithoutSeal();

// Everything the child needs, prepared before fork: after fork it only makes system calls.
struct SealPlan {
  SealMode mode = SealMode::kNone;
  // Harmless nodes of the machine's /dev bound into the new one: (name, node).
  std::vector<std::pair<std::string, std::string>> harmless;
  std::string port;                   // the pseudo-terminal bound as /dev/ttyS0 ("": none)
  std::vector<std::pair<std::string, std::string>> links;  // (link text, link in the new /dev)
  std::string uid_map;
  std::string gid_map;
};

// `port`: the pseudo-terminal that becomes /dev/ttyS0 ("" when the board has none).
// `sandbox`: the board folder whose dev/ files stand for the board's fixed devices.
SealPlan PrepareSeal(SealMode mode, const std::string& port, const std::string& sandbox);

// Where starting a program stopped: the child reports one of these and errno to the runner.
enum class StartStep : int32_t {
  kUnshare = 1,
  kUserMap,
  kPrivate,
  kNoDevices,
  kDevFolder,
  kDevNode,
  kDevPts,
  kDevLink,
  kDevShm,
  kDevReadOnly,
  kCapabilities,
  kNoNewPrivileges,
  kStandardStreams,
  kFolder,
  kExec,
};
const char* StartStepName(StartStep step);

struct StartFailure {
  StartStep step;
  int32_t err;
};

// In the child, after fork: seals it as planned. False with `failure` filled when a step
// failed; the child must then end without running anything.
bool ApplySeal(const SealPlan& plan, StartFailure* failure);

}  // namespace testbed
