// Mutational fuzzing of the owner-list decision over arbitrary "Owners" and
// "DisplayName" bytes. Built with the sanitizers of the native preset, so an
// out-of-bounds read aborts the run; the checks below catch wrong answers.
//   owner_list_fuzz SECONDS SEED
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/owner_list.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromText(const std::u16string& text) {
  Bytes b;
  for (const char16_t c : text) {
    b.push_back(static_cast<uint8_t>(c & 0xFF));
    b.push_back(static_cast<uint8_t>(c >> 8));
  }
  return b;
}

const std::vector<Bytes>& Seeds() {
  static const std::vector<Bytes> seeds = {
      {},
      FromText(std::u16string(u"oem7.inf\0oem9.inf\0\0", 19)),
      FromText(u"@oem7.inf,%KQD.SvcDesc%;kqd"),
      FromText(u"@,,,oem7.inf,,"),
      FromText(u"@" + std::u16string(300, u'a')),
      FromText(std::u16string(270, u'n') + u'\0' + u"oem1.inf"),
      FromText(u"kqd"),
  };
  return seeds;
}

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : rng_(seed) {}

  Bytes Next() {
    Bytes b = Seeds()[Pick(Seeds().size())];
    const size_t rounds = 1 + Pick(8);
    for (size_t r = 0; r < rounds; ++r) Mutate(b);
    if (b.size() > 2048) b.resize(Pick(2048));
    return b;
  }

 private:
  size_t Pick(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  uint8_t Byte() {
    static const uint8_t kInteresting[] = {0, 0, 0, '@', ',', 'a', 'o', 0xFF, 0xD8, 0xDC};
    return Pick(2) ? kInteresting[Pick(sizeof kInteresting)] : static_cast<uint8_t>(Pick(256));
  }

  void Mutate(Bytes& b) {
    switch (Pick(6)) {
      case 0: if (!b.empty()) b[Pick(b.size())] = Byte(); break;
      case 1: b.insert(b.begin() + static_cast<long>(Pick(b.size() + 1)), Byte()); break;
      case 2: if (!b.empty()) b.erase(b.begin() + static_cast<long>(Pick(b.size()))); break;
      case 3: b.resize(Pick(b.size() + 1)); break;  // truncate, often to an odd length
      case 4: {  // splice part of another seed
        const Bytes& other = Seeds()[Pick(Seeds().size())];
        const size_t from = Pick(other.size() + 1);
        b.insert(b.begin() + static_cast<long>(Pick(b.size() + 1)), other.begin() + static_cast<long>(from),
                 other.end());
        break;
      }
      case 5: b.insert(b.begin() + static_cast<long>(Pick(b.size() + 1)), Pick(600), Byte()); break;  // long runs
    }
  }

  std::mt19937 rng_;
};

[[noreturn]] void Fail(const char* what, uint64_t iteration) {
  std::fprintf(stderr, "owner_list_fuzz: %s at iteration %llu\n", what, static_cast<unsigned long long>(iteration));
  std::abort();
}

// Exactly sized heap copies, so the sanitizer sees any read past the value.
void RunOne(const Bytes& owners, const Bytes& display, bool displayRead, uint64_t iteration) {
  const std::vector<uint8_t> o(owners.begin(), owners.end());
  const std::vector<uint8_t> d(display.begin(), display.end());
  const auto all = kqd::ParseOwners(std::span<const uint8_t>(o.data(), o.size()));
  const auto list = displayRead ? kqd::SelectOwnerTestList(o, std::span<const uint8_t>(d.data(), d.size()))
                                : kqd::SelectOwnerTestList(o, std::nullopt);
  for (const auto& name : all) {
    if (name.empty() || name.find(u'\0') != std::u16string::npos) Fail("bad owner name", iteration);
  }
  if (list != all && !(list.size() == 1 && !all.empty() && list[0] == all[0])) Fail("list not whole or first", iteration);
  if (!displayRead && list != all) Fail("unread DisplayName narrowed the list", iteration);
  if (list.size() == 1 && all.size() > 1) {
    const auto name = kqd::IndirectInfName(std::span<const uint8_t>(d.data(), d.size()));
    if (!name || name->size() <= 4 || *name != all[0]) Fail("narrowed without a matching name", iteration);
  }
  if (const auto name = kqd::IndirectInfName(d); name && name->size() > kqd::kPathCapacity - 2) {
    Fail("DisplayName read past 259 units", iteration);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 60;
  const uint32_t seed = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 1;
  Mutator mutator(seed);
  std::mt19937 coin(seed);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint64_t iteration = 0;
  while (std::chrono::steady_clock::now() < end) {
    for (int i = 0; i < 256; ++i, ++iteration) {
      Bytes owners = mutator.Next();
      Bytes display = mutator.Next();
      // Often make the DisplayName name the first owner, so the narrowing path runs.
      if (coin() % 3 == 0) {
        const auto all = kqd::ParseOwners(owners);
        if (!all.empty()) display = FromText(u"@" + all[0] + u"," + std::u16string(coin() % 4, u','));
      }
      RunOne(owners, display, coin() % 5 != 0, iteration);
    }
  }
  std::printf("owner_list_fuzz: %llu inputs in %ld s, seed %u, no fault\n", static_cast<unsigned long long>(iteration),
              seconds, seed);
  return 0;
}
