// Qel/HashMap2018.h — the framework's hash map and hash set, iterated in a stable hash order.
///
/// `HashMap2018<K, V>` maps keys to values; `HashMap2018<K>` (V = void) is a set. Keys are
/// hashed with `hashValue(key, seed)` (Qel/Hash.h) and compared with `==`. Single thread.
///
/// Layout: every member is a slab-allocated node on one singly-linked list sorted by its
/// 32-bit hash. Members of equal hash go by key when K has `<`, otherwise in insertion order
/// (kept as a per-hash sequence number in the node). A power-of-two bucket array, indexed by
/// the top bits of the hash, points at the first member of each bucket's stretch of the list.
/// Hence:
/// - the iteration order depends on the seed and the keys only (for keys without `<`, also on
///   the insertion order of keys of equal hash), never on the table size;
/// - growing or shrinking rebuilds the bucket array and moves no member; the load (members per
///   bucket) stays between 1/4 and 1, so lookup, insertion and removal take O(1) expected.
///
/// Iteration: an iterator keeps a copy of its member's key, the member's hash and the map's
/// version (which changes with every insertion, removal and value replacement). While the
/// version is unchanged `++` follows the list; after a change it seeks, by hash, the first
/// member after the place of the one it was on. `iteratorFrom(key)` starts at `key`, or where
/// `key` would be when it is absent, so a scan cut into runs may resume from a key bookmark.
///
/// Invalidation:
/// - No insertion, removal, assignment or `clear` invalidates an iterator, not even removal
///   of its own member. After such changes `++` visits each member present throughout the scan
///   exactly once; members added ahead of the iterator are visited, those added behind it are
///   not. Resuming with `iteratorFrom` of a bookmark that has left the map may revisit members
///   of the bookmark's hash when K has no `<`, and never skips one.
/// - `value()` after a change looks the member up again: it must still be present.
/// - `find` and `insertOrAssign` results stay valid until their member is removed or the map
///   cleared; growth and shrinkage never move a member.
/// - Destroying the map invalidates its iterators.
/// Removal may re-enter the map from a value's destructor: the map is consistent by then.
#pragma once

#include <concepts>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "Pondo/Assert.h"
#include "Pondo/Types.h"
#include "Pooly/Slab.h"
#include "Qel/Hash.h"

namespace Qel {
namespace Impl {

/// Takes the place of the sequence number when keys order themselves.
struct NoSeq {};
/// The value of a set member.
struct NoValue {};

/// One member: its list link, key, value, hash and rank among equal hashes (keys without `<`).
/// The 32-bit fields come last, where a 4-byte value or the key's tail padding can pair with
/// them: a member of a map of pointer-sized keys to 32-bit values takes 24 bytes, not 32.
template <class K, class V, bool bySeq>
struct HashMap2018Node : Pooly::Slab<HashMap2018Node<K, V, bySeq>> {
  using Seq = std::conditional_t<bySeq, U32, NoSeq>;

  template <class... Value>
  HashMap2018Node(U32 h, Seq s, const K& k, Value&&... v)
      : key(k), value(std::forward<Value>(v)...), hash(h), seq(s) {}

  HashMap2018Node* next = nullptr;  // the following member in iteration order; not owning
  K key;
  [[no_unique_address]] V value;
  U32 hash;
  [[no_unique_address]] Seq seq;

  static inline Pooly::AllocTracker memAllocationTracker_{"Qel::HashMap2018::Node"};
};

static_assert(sizeof(HashMap2018Node<void*, U32, false>) == 24);

}  // namespace Impl

template <class K, class V = void>
class HashMap2018 {
  static_assert(std::equality_comparable<K>, "HashMap2018 keys need ==");
  static constexpr bool bySeq = !std::totally_ordered<K>;

 public:
  using KeyType = K;
  /// True for a set (no member values).
  static constexpr bool isSet = std::is_void_v<V>;
  /// V, or an empty stand-in for a set.
  using Value = std::conditional_t<isSet, Impl::NoValue, V>;
  using Node = Impl::HashMap2018Node<K, Value, bySeq>;

 private:
  using Seq = typename Node::Seq;

 public:
  class Iterator;
  class MutableIterator;

  explicit HashMap2018(U32 seed = HashHelper::hashSeed32()) noexcept : seed_(seed) {}
  HashMap2018(const HashMap2018&) = delete;
  HashMap2018& operator=(const HashMap2018&) = delete;
  ~HashMap2018() { releaseAll(); }

  U32 count() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  /// 1 in a new map; changes with every insertion, removal and value replacement.
  U32 version() const noexcept { return version_; }
  /// 0 until the first insertion and after `clear`.
  U32 bucketCount() const noexcept { return buckets_ ? U32{1} << bits_ : 0; }

  bool contains(const K& key) const { return findNode(hashOf(key), key) != nullptr; }
  const Value* find(const K& key) const requires(!isSet) {
    return valueOf(findNode(hashOf(key), key));
  }
  Value* find(const K& key) requires(!isSet) { return valueOf(findNode(hashOf(key), key)); }

  /// Adds `key`; false, and nothing changes, when it is present.
  bool insert(const K& key, Value value) requires(!isSet) {
    return insertNew(key, std::move(value));
  }
  bool insert(const K& key) requires isSet { return insertNew(key); }

  /// Adds `key` with `value`, or replaces the value of a present `key`.
  Value* insertOrAssign(const K& key, Value value) requires(!isSet) {
    const U32 h = hashOf(key);
    const Place at = locate(h, key);
    if (!at.node) return &link(at.pred, h, key, std::move(value))->value;
    [[maybe_unused]] Value old = std::exchange(at.node->value, std::move(value));
    ++version_;
    return &at.node->value;  // `old` is released after the map is consistent
  }

  /// False when `key` is absent.
  bool remove(const K& key) {
    const Place at = locate(hashOf(key), key);
    if (!at.node) return false;
    unlink(at);
    delete at.node;
    shrinkIfSparse();
    return true;
  }

  /// Removes `key` and hands its value over; empty when `key` is absent.
  std::optional<Value> take(const K& key) requires(!isSet) {
    const Place at = locate(hashOf(key), key);
    if (!at.node) return std::nullopt;
    unlink(at);
    std::optional<Value> value(std::move(at.node->value));
    delete at.node;
    shrinkIfSparse();
    return value;
  }

  /// Sizes the bucket array for `members` members at once and keeps it at least that large
  /// until `clear`, so that neither filling nor emptying the map walks it to resize.
  void reserve(U32 members) {
    unsigned bits = minBits;
    while (bits < 31 && (U32{1} << bits) < members) ++bits;
    reservedBits_ = static_cast<U8>(bits);
    if (!buckets_ || bits > bits_) rehash(bits);
  }

  /// Removes every member and releases the bucket array.
  void clear() {
    if (count_ != 0) ++version_;
    releaseAll();
  }

  Iterator begin() const { return Iterator(this, head_); }
  MutableIterator begin() { return MutableIterator(this, head_); }
  /// At `key`, or at the first member that would follow it when it is absent.
  Iterator iteratorFrom(const K& key) const { return Iterator(this, firstFrom(key)); }
  MutableIterator iteratorFrom(const K& key) { return MutableIterator(this, firstFrom(key)); }

 private:
  /// Where a key is or would go.
  struct Place {
    Node* pred;  // the member before it; null at the front of the list
    Node* node;  // the key's member; null when absent
  };

  static constexpr unsigned minBits = 2;

  U32 hashOf(const K& key) const { return hashValue(key, seed_); }
  /// The top `bits_` bits of `hash`.
  U32 bucketOf(U32 hash) const noexcept { return static_cast<U32>((U64{hash} << bits_) >> 32); }
  static Value* valueOf(Node* node) noexcept { return node ? &node->value : nullptr; }
  Node* following(Node* pred) const noexcept { return pred ? pred->next : head_; }
  Node*& linkAfter(Node* pred) noexcept { return pred ? pred->next : head_; }

  Node* findNode(U32 h, const K& key) const {
    if (!buckets_) return nullptr;
    for (Node* n = buckets_[bucketOf(h)]; n && n->hash <= h; n = n->next) {
      if (n->hash == h && n->key == key) return n;
    }
    return nullptr;
  }

  /// The last member whose hash is below `h`, or null.
  Node* lastBefore(U32 h) const {
    if (!buckets_) return nullptr;
    Node* n = startBelow(bucketOf(h), h);
    if (!n) return nullptr;
    while (n->next && n->next->hash < h) n = n->next;
    return n;
  }

  /// A member of hash below `h` from bucket `i` or else the nearest non-empty bucket below.
  Node* startBelow(U32 i, U32 h) const {
    if (buckets_[i] && buckets_[i]->hash < h) return buckets_[i];
    while (i > 0) {
      if (Node* n = buckets_[--i]) return n;
    }
    return nullptr;
  }

  Place locate(U32 h, const K& key) const {
    Node* pred = lastBefore(h);
    for (Node* n = following(pred); n && n->hash == h; pred = n, n = n->next) {
      if (n->key == key) return {pred, n};
      if constexpr (!bySeq) {
        if (key < n->key) break;
      }
    }
    return {pred, nullptr};
  }

  Node* firstFrom(const K& key) const {
    const U32 h = hashOf(key);
    const Place at = locate(h, key);
    if (at.node) return at.node;
    // Without `<` an absent key has no place among its equal hashes: start before them all.
    if constexpr (bySeq) return following(lastBefore(h));
    return following(at.pred);
  }

  /// The first member after the place of the member (`h`, `seq`, `key`), present or not.
  Node* firstAfter(U32 h, Seq seq, const K& key) const {
    Node* n = following(lastBefore(h));
    while (n && n->hash == h && !follows(*n, seq, key)) n = n->next;
    return n;
  }

  static bool follows(const Node& n, [[maybe_unused]] Seq seq, [[maybe_unused]] const K& key) {
    if constexpr (bySeq) {
      return n.seq > seq;
    } else {
      return key < n.key;
    }
  }

  template <class... Arg>
  bool insertNew(const K& key, Arg&&... value) {
    const U32 h = hashOf(key);
    const Place at = locate(h, key);
    if (at.node) return false;
    link(at.pred, h, key, std::forward<Arg>(value)...);
    return true;
  }

  template <class... Arg>
  Node* link(Node* pred, U32 h, const K& key, Arg&&... value) {
    if (!buckets_) rehash(minBits);
    Node* node = new Node(h, seqAfter(pred, h), key, std::forward<Arg>(value)...);
    Node*& to = linkAfter(pred);
    node->next = to;
    to = node;
    const U32 i = bucketOf(h);
    if (!pred || bucketOf(pred->hash) != i) buckets_[i] = node;
    ++count_;
    ++version_;
    if (count_ > bucketCount()) rehash(bits_ + 1u);
    return node;
  }

  /// The rank of a member joining hash `h`'s stretch right after `pred`, its last member.
  Seq seqAfter([[maybe_unused]] Node* pred, [[maybe_unused]] U32 h) {
    if constexpr (bySeq) {
      if (!pred || pred->hash != h) return 0;
      if (pred->seq < std::numeric_limits<U32>::max()) return pred->seq + 1;
      return renumber(h, pred);
    } else {
      return {};
    }
  }

  /// Ranks hash `h`'s stretch, ending at `last`, afresh from 0 once its ranks are used up
  /// (2^32 insertions into one stretch); returns the next rank. An iterator inside the
  /// stretch may then skip some of it.
  U32 renumber(U32 h, Node* last) {
    U32 seq = 0;
    for (Node* n = following(lastBefore(h)); n != last->next; n = n->next) n->seq = seq++;
    return seq;
  }

  void unlink(Place at) noexcept {
    Node* node = at.node;
    linkAfter(at.pred) = node->next;
    const U32 i = bucketOf(node->hash);
    if (buckets_[i] == node) {
      buckets_[i] = node->next && bucketOf(node->next->hash) == i ? node->next : nullptr;
    }
    --count_;
    ++version_;
  }

  void shrinkIfSparse() {
    if (bits_ > minBits && bits_ > reservedBits_ && count_ < bucketCount() / 4) rehash(bits_ - 1u);
  }

  /// Rebuilds the bucket array with 2^bits buckets; the list is untouched.
  void rehash(unsigned bits) {
    auto buckets = std::make_unique<Node*[]>(std::size_t{1} << bits);
    bits_ = static_cast<U8>(bits);
    for (Node* n = head_; n; n = n->next) {
      Node*& first = buckets[bucketOf(n->hash)];
      if (!first) first = n;
    }
    buckets_ = std::move(buckets);
  }

  /// Empties the map before destroying the members, whose values may re-enter it.
  void releaseAll() noexcept {
    Node* n = std::exchange(head_, nullptr);
    buckets_.reset();
    bits_ = 0;
    reservedBits_ = 0;
    count_ = 0;
    while (n) {
      Node* next = n->next;
      delete n;
      n = next;
    }
  }

  Node* head_ = nullptr;              // the first member; the map owns every member
  std::unique_ptr<Node*[]> buckets_;  // each bucket's first member, or null
  U32 count_ = 0;
  U32 version_ = 1;
  U32 seed_;
  U8 bits_ = 0;          // log2 of the bucket count
  U8 reservedBits_ = 0;  // no shrinking below this until `clear`
};

/// A place in the iteration order that survives every change of the map (see the top).
template <class K, class V>
class HashMap2018<K, V>::Iterator {
 public:
  /// At the end, and bound to no map.
  Iterator() = default;

  bool atEnd() const noexcept { return !key_; }
  explicit operator bool() const noexcept { return key_.has_value(); }

  const K& key() const {
    PONDO_ASSERT_MSG(key_, "HashMap2018::Iterator::key() at the end");
    return *key_;
  }
  const Value& value() const requires(!isSet) { return current()->value; }

  Iterator& operator++() {
    PONDO_ASSERT_MSG(key_, "HashMap2018::Iterator incremented at the end");
    moveTo(version_ == map_->version_ ? node_->next : map_->firstAfter(hash_, seq_, *key_));
    return *this;
  }

 protected:
  Iterator(const HashMap2018* map, Node* node) : map_(map) { moveTo(node); }

  /// The current member, looked up again when the map has changed since.
  Node* current() const {
    PONDO_ASSERT_MSG(key_, "HashMap2018::Iterator::value() at the end");
    if (version_ == map_->version_) return node_;
    Node* node = map_->findNode(hash_, *key_);
    PONDO_ASSERT_MSG(node, "HashMap2018::Iterator::value() of a member removed since");
    return node;
  }

 private:
  friend class HashMap2018;

  void moveTo(Node* node) {
    node_ = node;
    version_ = map_->version_;
    if (!node) {
      key_.reset();
      return;
    }
    hash_ = node->hash;
    seq_ = node->seq;
    key_.emplace(node->key);
  }

  const HashMap2018* map_ = nullptr;
  Node* node_ = nullptr;  // dereferenced only while `version_` is the map's
  std::optional<K> key_;  // a copy: the member may leave the map
  U32 version_ = 0;
  U32 hash_ = 0;
  [[no_unique_address]] Seq seq_{};
};

/// An iterator of a non-const map, through which values may be changed.
template <class K, class V>
class HashMap2018<K, V>::MutableIterator : public Iterator {
 public:
  MutableIterator() = default;

  Value& value() const requires(!isSet) { return this->current()->value; }

  MutableIterator& operator++() {
    Iterator::operator++();
    return *this;
  }

 private:
  friend class HashMap2018;

  MutableIterator(const HashMap2018* map, Node* node) : Iterator(map, node) {}
};

}  // namespace Qel
