// Folding a CTP depth snapshot into the instrument's SnapshotEntry: the first snapshot of an
// instrument makes the entry (fixing its code and exchange, and for its trading day the day and the
// previous close and settlement, which a snapshot of a later day moves) and enters it under "ID."
// and "ID.EXCH"; every later one refreshes the prices,
// volumes, turnover, open interest and five depth levels under the entry's write lock. Levels 6 to
// 10 and the fields CTP does not send stay 0.
//
// REQUIRES: one folder per map, used only on the market-data callback thread (the one writer of
// the entries and of the map's insertions); readers on other threads take the entry's read lock.
#ifndef QV_CTP_SNAPSHOT_FOLD_H
#define QV_CTP_SNAPSHOT_FOLD_H

#include <cstddef>
#include <string_view>
#include <vector>

#include "ThostFtdcUserApiStruct.h"
#include "trading/md_client.h"

namespace qv {

// Folds snapshots into a shared SnapshotMap. The folder keeps a private index from instrument code
// to entry, touched only by the folding thread, so the update of a known instrument costs one
// unlocked hash lookup on the code as it comes, without building a key or taking the map's lock.
class SnapshotFolder {
 public:
  explicit SnapshotFolder(SnapshotMap& snapshots) : snapshots_(snapshots) {}
  SnapshotFolder(const SnapshotFolder&) = delete;
  SnapshotFolder& operator=(const SnapshotFolder&) = delete;

  // Returns the entry the snapshot was folded into (never null; entries are never freed).
  SnapshotEntry* fold(const CThostFtdcDepthMarketDataField& depth);

 private:
  // Entries by instrument code: open addressing over a power-of-two table. A code is held as four
  // words, zero past its end, so a lookup is a few multiplies, a masked probe and four word
  // compares, with no byte loop.
  class CodeIndex {
   public:
    struct Code {
      uint64_t words[4];
    };
    static constexpr size_t kMaxLength = 31;
    // The first `length` bytes of `text`. REQUIRES: length <= kMaxLength and kMaxLength bytes at
    // `text` readable (a CTP code field).
    static Code codeOf(const char* text, size_t length);

    SnapshotEntry* find(const Code& code) const;
    void insert(const Code& code, SnapshotEntry* entry);

   private:
    struct Slot {
      Code code;
      SnapshotEntry* entry;  // null: free
    };
    static size_t hash(const Code& code);
    static bool same(const Code& a, const Code& b);
    void grow();

    std::vector<Slot> slots_ = std::vector<Slot>(256);
    size_t used_ = 0;
  };

  SnapshotMap& snapshots_;
  CodeIndex byCode_;
};

}  // namespace qv

#endif  // QV_CTP_SNAPSHOT_FOLD_H
