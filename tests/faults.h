// How the tests make the runtime's calls misbehave: a list of faults, each
// naming a call, how it answers and from which of its occurrences on. The
// unit tests' fake runtime and the fuzzer's runtime both take them.
#ifndef DRAVLET_TESTS_FAULTS_H_
#define DRAVLET_TESTS_FAULTS_H_

#include <cstdint>
#include <vector>

// clang-format off
enum class Call {
  kOpenSource, kDescribe, kFileSizes, kSeekEnd, kSeekSet, kCreate, kResize, kClone, kFindData, kKernelCopy, kReadAt,
  kWriteAt, kClose, kCount
};
// clang-format on

// How a call answers.
enum class Answer {
  kWhole,    // as it should
  kShort,    // moves at most kShortBytes, tells an extent of at most that,
             // or breaks off a clone after sharing kShortClone bytes
  kNothing,  // moves nothing: 0, or a clone refused
  kFails,    // -1 or false
  kExists,   // a create fails because the name exists
};

// The most that a short call moves: neither a page nor a chunk; and what a
// clone that breaks off shares first: one chunk.
constexpr std::int64_t kShortBytes = 4097;
constexpr std::int64_t kShortClone = 65536;

// The most that a call answering answer moves of count bytes, or -1 for a
// failure.
inline std::int64_t answered(Answer answer, std::int64_t count) {
  if (answer == Answer::kShort) return count < kShortBytes ? count : kShortBytes;
  return answer == Answer::kWhole ? count : answer == Answer::kNothing ? 0 : -1;
}

struct Fault {
  Call call;
  Answer answer;
  int from = 0;  // the first of the call's occurrences, from 0, that misbehaves
};

// The faults of one run, how often each call was made so far, and whether
// a fault answered one.
struct Faults {
  std::vector<Fault> list;
  int seen[static_cast<int>(Call::kCount)] = {};
  bool met = false;

  // How this occurrence of call answers.
  Answer answer(Call call) {
    const int occurrence = seen[static_cast<int>(call)]++;
    for (const Fault& fault : list) {
      if (fault.call == call && occurrence >= fault.from) {
        met = true;
        return fault.answer;
      }
    }
    return Answer::kWhole;
  }
};

#endif  // DRAVLET_TESTS_FAULTS_H_
