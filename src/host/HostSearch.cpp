#include "host/HostSearch.h"

#include <utility>

#include "host/WindowsNames.h"

namespace orvo {
namespace {

class GatheredSearch : public DirSearch {
 public:
  explicit GatheredSearch(std::vector<FindData> entries) : entries_(std::move(entries)) {}
  WinError Next(FindData* entry) override {
    if (next_ >= entries_.size()) return kErrorNoMoreFiles;
    *entry = std::move(entries_[next_++]);
    return kErrorSuccess;
  }

 private:
  std::vector<FindData> entries_;
  size_t next_ = 1;  // the first went to FindFirst
};

}  // namespace

bool SearchYields(const std::string& leaf, bool atRoot, const std::string& name) {
  if (name == "." || name == "..") return !atRoot && MatchesPattern(leaf, name);
  return CanNameAgain(name) && MatchesPattern(leaf, name);
}

WinError StartGatheredSearch(std::vector<FindData> entries, std::unique_ptr<DirSearch>* search,
                             FindData* first) {
  if (entries.empty()) return kErrorFileNotFound;
  *first = entries.front();
  *search = std::make_unique<GatheredSearch>(std::move(entries));
  return kErrorSuccess;
}

}  // namespace orvo
