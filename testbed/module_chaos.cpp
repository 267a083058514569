#include "module_chaos.h"

#include <algorithm>
#include <utility>

#include "module_framing.h"

namespace testbed {

const char* NameOf(Mischief mischief) {
  switch (mischief) {
    case Mischief::kNone: return "none";
    case Mischief::kLateInside: return "late inside the limit";
    case Mischief::kLatePast: return "late past the limit";
    case Mischief::kTwice: return "twice";
    case Mischief::kTrickle: return "trickled";
    case Mischief::kSplit: return "split";
    case Mischief::kFlip: return "bit flipped";
    case Mischief::kOtherReply: return "another command's reply";
    case Mischief::kStrayBefore: return "stray bytes before";
    case Mischief::kStrayAfter: return "stray bytes after";
    case Mischief::kSilent: return "no reply";
    case Mischief::kDead: return "no reply from here on";
  }
  return "?";
}

Chaos ChaosForSeed(uint64_t seed) {
  constexpr unsigned kLeastPerMille = 40, kMostPerMille = 300;
  return {seed, kLeastPerMille + static_cast<unsigned>(seed % (kMostPerMille - kLeastPerMille + 1))};
}

namespace chaos {
namespace {

using std::chrono::milliseconds;
constexpr unsigned kPerMille = 1000;
constexpr Mischief kKinds[] = {
    Mischief::kLateInside, Mischief::kLatePast,    Mischief::kTwice,      Mischief::kTrickle,
    Mischief::kSplit,      Mischief::kFlip,        Mischief::kOtherReply, Mischief::kStrayBefore,
    Mischief::kStrayAfter, Mischief::kSilent,      Mischief::kDead};
// The host allows 3 s for a whole exchange; a late reply comes well inside or well past it, with
// room for a loaded machine where the host starts or ends its wait late.
constexpr int kInsideMinMs = 200, kInsideMaxMs = 1500;
constexpr int kPastMinMs = 4500, kPastMaxMs = 6000;
constexpr int kCopyMinMs = 5, kCopyMaxMs = 300;       // the second copy of a reply
constexpr int kTrickleMinMs = 1000, kTrickleMaxMs = 2900;  // between two bytes
constexpr int kSplitGapMaxMs = 40;
constexpr int kStrayAfterMaxMs = 100;
constexpr unsigned kStrayMax = 4;
constexpr unsigned kCutsMax = 3;

// SplitMix64: small, and the same on every platform, so a seed replays anywhere.
struct Bits {
  uint64_t state;
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(Next() % n); }
  int Between(int low, int high) {
    return low + static_cast<int>(Below(static_cast<unsigned>(high - low + 1)));
  }
};

Bytes Stray(Bits& bits) {
  Bytes stray(1 + bits.Below(kStrayMax));
  // Half of them frame marks, which a careless parser takes for the start of something.
  for (uint8_t& b : stray) {
    b = bits.Below(2) == 0 ? framing::kSync : static_cast<uint8_t>(bits.Next());
  }
  return stray;
}

std::vector<Piece> Split(Bits& bits, const Bytes& bytes) {
  std::vector<size_t> cuts;
  const unsigned count = 1 + bits.Below(kCutsMax);
  for (unsigned i = 0; i < count && bytes.size() > 1; ++i) {
    cuts.push_back(1 + bits.Below(static_cast<unsigned>(bytes.size() - 1)));
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<Piece> pieces;
  size_t from = 0;
  milliseconds at{0};
  cuts.push_back(bytes.size());
  for (size_t cut : cuts) {
    pieces.push_back({Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                            bytes.begin() + static_cast<std::ptrdiff_t>(cut)),
                      at});
    at += milliseconds(bits.Between(1, kSplitGapMaxMs));
    from = cut;
  }
  return pieces;
}

// The acknowledgement as it was, then a response frame carrying `body`.
Bytes WithBody(const Bytes& ordinary, const Bytes& body) {
  Bytes bytes(ordinary.begin(), ordinary.begin() + std::min<std::ptrdiff_t>(2, static_cast<std::ptrdiff_t>(ordinary.size())));
  const Bytes frame = framing::EncodeResponse(body);
  bytes.insert(bytes.end(), frame.begin(), frame.end());
  return bytes;
}

}  // namespace

Draw DrawFor(const Chaos& c, int frame) {
  constexpr uint64_t kSpread = 0x100000001B3u;  // seeds far apart for neighbouring frames
  Bits bits{c.seed * kSpread + static_cast<uint64_t>(static_cast<unsigned>(frame))};
  bits.Next();
  Draw draw;
  if (bits.Below(kPerMille) < c.per_mille) {
    draw.mischief = kKinds[bits.Below(static_cast<unsigned>(std::size(kKinds)))];
  }
  draw.bits = bits.Next();
  return draw;
}

bool CommandRuns(const Draw& draw) {
  if (draw.mischief != Mischief::kSilent && draw.mischief != Mischief::kDead) return true;
  return (draw.bits & 1u) != 0;
}

std::vector<Piece> Shape(const Draw& draw, const Bytes& ordinary, const Bytes& other_body) {
  Bits bits{draw.bits};
  if (ordinary.empty()) return {};
  switch (draw.mischief) {
    case Mischief::kNone:
      return {{ordinary, milliseconds{0}}};
    case Mischief::kLateInside:
      return {{ordinary, milliseconds(bits.Between(kInsideMinMs, kInsideMaxMs))}};
    case Mischief::kLatePast:
      return {{ordinary, milliseconds(bits.Between(kPastMinMs, kPastMaxMs))}};
    case Mischief::kTwice:
      return {{ordinary, milliseconds{0}},
              {ordinary, milliseconds(bits.Between(kCopyMinMs, kCopyMaxMs))}};
    case Mischief::kTrickle: {
      const milliseconds gap(bits.Between(kTrickleMinMs, kTrickleMaxMs));
      std::vector<Piece> pieces;
      for (size_t i = 0; i < ordinary.size(); ++i) {
        pieces.push_back({Bytes{ordinary[i]}, gap * static_cast<int>(i)});
      }
      return pieces;
    }
    case Mischief::kSplit:
      return Split(bits, ordinary);
    case Mischief::kFlip: {
      Bytes flipped = ordinary;
      flipped[bits.Below(static_cast<unsigned>(flipped.size()))] ^=
          static_cast<uint8_t>(1u << bits.Below(8));
      return {{flipped, milliseconds{0}}};
    }
    case Mischief::kOtherReply:
      return {{WithBody(ordinary, other_body), milliseconds{0}}};
    case Mischief::kStrayBefore: {
      Bytes bytes = Stray(bits);
      bytes.insert(bytes.end(), ordinary.begin(), ordinary.end());
      return {{bytes, milliseconds{0}}};
    }
    case Mischief::kStrayAfter:
      return {{ordinary, milliseconds{0}},
              {Stray(bits), milliseconds(bits.Between(0, kStrayAfterMaxMs))}};
    case Mischief::kSilent:
    case Mischief::kDead:
      return {};
  }
  return {};
}

}  // namespace chaos
}  // namespace testbed
