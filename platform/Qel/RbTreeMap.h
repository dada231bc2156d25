// Qel/RbTreeMap.h — the intrusive ordered collection, a red-black tree whose members are its nodes.
///
/// A member embeds `RbTreeLinks<T>` (three words: the parent pointer with the colour in bit 0,
/// and two counted child links), so holding it in the tree costs no allocation. The tree owns
/// exactly one reference to each member: the root through the collection's root `Ptr`, every
/// other member through its parent's `left` or `right`. Rebalancing moves those `Ptr`s and so
/// never changes a count; a removed member gets its links cleared and the tree's reference is
/// handed to the caller.
///
/// The red-black properties, cited by number in the rebalancing code:
///   (1) every node is red or black;
///   (2) the root is black;
///   (3) every null child counts as a black leaf;
///   (4) a red node has no red child;
///   (5) every path from a node down to a leaf passes the same number of black nodes.
/// Together they bound the height by 2·log2(n + 1).
///
/// Costs, for n members: `operator[]`, the `find...` lookups, `first`, `lookupForInsert`,
/// `insert`, `insertAt` and `remove` are O(log n); `next` and an iterator step are O(1) amortised
/// over a walk, O(log n) at worst; `clear` and the destructor are O(n); `version`, `count`,
/// `empty` and `iteratorOf` are O(1).
///
/// Version rule: `version()` is 1 in a new collection and goes up by one with every insertion
/// and every removal (`clear` counts as one change, and none when already empty); lookups leave
/// it alone. An iterator holds a counted reference to its member and the version at which it
/// was last positioned. A step while that version is still current follows the links; after any
/// change it searches for the smallest key greater than its member's. So a walk may pause and
/// resume across changes (an SNMP walk resumes across requests): members inserted after the
/// cursor's key are visited, those before it are not, and removing the cursor's member does not
/// break the walk. The version is 32 bits; a paused iterator must not sleep through 2^32 changes.
///
/// Single thread. An iterator must not outlive its collection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

#include "Pondo/Assert.h"
#include "Pondo/Ptr.h"
#include "Pondo/Types.h"

namespace Qel {

/// The links a member of an `RbTreeMap` embeds. Only `RbTreeNodeTraits` reads the parent word.
template <class T>
struct RbTreeLinks {
  std::uintptr_t parentAndColour = 0;  // parent pointer | colour (bit 0); 0 when not in a tree
  Pondo::Ptr<T> left;                  // counted: the tree's reference to the left child
  Pondo::Ptr<T> right;
};

/// Red is 0 so that cleared links read "red, no parent", which no member of a tree has (2).
enum class RbColour : std::uintptr_t { red = 0, black = 1 };

/// A child slot. The rebalancing code is written for one side and mirrored through `opposite`.
enum class RbSide : bool { left = false, right = true };

constexpr RbSide opposite(RbSide side) {
  return side == RbSide::left ? RbSide::right : RbSide::left;
}

/// A member's links, reached through `Hook::rbLinks`; the one owner of the parent/colour word.
template <class T, class Hook>
struct RbTreeNodeTraits {
  using Node = T;
  static_assert(alignof(T) >= 2, "bit 0 of the parent word; needs alignment of at least 2");

  static T* parent(const T& n) {
    return reinterpret_cast<T*>(Hook::rbLinks(n).parentAndColour & ~colourBit);
  }
  static RbColour colour(const T& n) {
    return RbColour(Hook::rbLinks(n).parentAndColour & colourBit);
  }
  static void setParentAndColour(T& n, T* parent, RbColour colour) {
    Hook::rbLinks(n).parentAndColour =
        reinterpret_cast<std::uintptr_t>(parent) | static_cast<std::uintptr_t>(colour);
  }

  /// The counted slot of one child.
  static Pondo::Ptr<T>& link(T& n, RbSide side) {
    return side == RbSide::left ? Hook::rbLinks(n).left : Hook::rbLinks(n).right;
  }
  static T* child(const T& n, RbSide side) {
    return side == RbSide::left ? Hook::rbLinks(n).left.get() : Hook::rbLinks(n).right.get();
  }

 private:
  static constexpr std::uintptr_t colourBit = 1;
};

/// The red-black algorithm on bare nodes, independent of keys: linking, unlinking, rotation,
/// in-order stepping and the invariant check. `root` is the `Ptr` that owns the root.
template <class Traits>
class RbTreeAlgorithm {
 public:
  using T = typename Traits::Node;
  using Ptr = Pondo::Ptr<T>;

  /// Null children are black leaves (3).
  static bool isRed(const T* n) { return n && Traits::colour(*n) == RbColour::red; }
  /// True for every member of some tree: a parentless member is a root, and roots are black (2).
  static bool inTree(const T& n) { return Traits::parent(n) || !isRed(&n); }

  static T* extreme(T* n, RbSide side) {
    while (T* c = Traits::child(*n, side)) n = c;
    return n;
  }
  static T* first(const Ptr& root) { return root ? extreme(root.get(), RbSide::left) : nullptr; }
  static T* next(const T& n) {
    if (T* right = Traits::child(n, RbSide::right)) return extreme(right, RbSide::left);
    const T* from = &n;
    T* up = Traits::parent(n);
    while (up && Traits::child(*up, RbSide::right) == from) {
      from = up;
      up = Traits::parent(*up);
    }
    return up;
  }
  /// The root of the tree `n` is in; `n` itself when it is in none.
  static const T& top(const T& n) {
    const T* at = &n;
    while (const T* up = Traits::parent(*at)) at = up;
    return *at;
  }

  /// Links `member` (with cleared links) as the `side` child of `parent` (null: as the root of
  /// an empty tree), then rebalances.
  static T& insert(Ptr& root, T* parent, RbSide side, Ptr member) {
    T& n = *member;
    Traits::setParentAndColour(n, parent, RbColour::red);
    (parent ? Traits::link(*parent, side) : root) = std::move(member);
    insertFixup(root, &n);
    return n;
  }

  /// Unlinks `member`, rebalances, clears its links and returns the tree's reference to it.
  static Ptr erase(Ptr& root, T& member) {
    Ptr taken;
    const bool twoChildren =
        Traits::child(member, RbSide::left) && Traits::child(member, RbSide::right);
    const Hole hole =
        twoChildren ? replaceBySuccessor(root, member, taken) : replaceByChild(root, member, taken);
    if (hole.removed == RbColour::black) eraseFixup(root, hole.node, hole.parent);
    Traits::setParentAndColour(member, nullptr, RbColour::red);
    return taken;
  }

  /// Moves `x` down to its `side`; its child on the other side takes its place. Only `Ptr`s
  /// move, so no count changes.
  static void rotate(Ptr& root, T& x, RbSide side) {
    const RbSide other = opposite(side);
    T* parent = Traits::parent(x);
    Ptr& xOwner = owner(root, x);
    Ptr yRef = std::move(Traits::link(x, other));
    T& y = *yRef;
    adopt(x, other, std::move(Traits::link(y, side)));
    Traits::link(y, side) = std::move(xOwner);
    setParent(x, &y);
    xOwner = std::move(yRef);
    setParent(y, parent);
  }

  /// Empties the tree: every member's links are cleared before the tree's reference to it is
  /// dropped, so members others still hold point nowhere. `root` is null from the start, so
  /// code run by a member's release sees an empty tree. No recursion, O(n).
  static void dispose(Ptr& root) {
    Ptr n = std::move(root);
    while (n) {
      if (Ptr l = std::move(Traits::link(*n, RbSide::left))) {
        // Rotate right, parent words aside: the left spine moves onto the right one.
        Traits::link(*n, RbSide::left) = std::move(Traits::link(*l, RbSide::right));
        Traits::link(*l, RbSide::right) = std::move(n);
        n = std::move(l);
        continue;
      }
      Traits::setParentAndColour(*n, nullptr, RbColour::red);
      n = std::move(Traits::link(*n, RbSide::right));
    }
  }

  /// Checks (2), (4), (5), the parent links, the order by `less` along `next`, and that the tree
  /// has `count` members. Empty when sound, else what is broken first.
  template <class Less>
  static std::string check(const Ptr& root, U32 count, Less less) {
    if (!root) return count == 0 ? std::string() : "empty tree, count " + std::to_string(count);
    if (Traits::parent(*root)) return "the root has a parent";
    if (isRed(root.get())) return "the root is red (2)";
    Census census{count, 0, std::string()};
    blackHeight(*root, census);
    if (!census.error.empty()) return census.error;
    if (census.nodes != count)
      return "count " + std::to_string(count) + " but " + std::to_string(census.nodes) + " nodes";
    const T* prev = nullptr;
    for (const T* n = first(root); n; prev = n, n = next(*n)) {
      if (prev && !less(*prev, *n)) return "keys out of order after an in-order step";
    }
    return std::string();
  }

 private:
  /// Where a black may be missing after an unlink: at `node` (maybe null) below `parent`.
  struct Hole {
    T* node;
    T* parent;
    RbColour removed;
  };

  struct Census {
    U32 limit;
    U32 nodes = 0;
    std::string error;
  };

  static RbSide sideOf(const T& parent, const T* n) {
    return Traits::child(parent, RbSide::left) == n ? RbSide::left : RbSide::right;
  }
  /// The `Ptr` holding the tree's reference to `n`.
  static Ptr& owner(Ptr& root, T& n) {
    T* parent = Traits::parent(n);
    return parent ? Traits::link(*parent, sideOf(*parent, &n)) : root;
  }
  static void setParent(T& n, T* parent) {
    Traits::setParentAndColour(n, parent, Traits::colour(n));
  }
  static void setColour(T& n, RbColour colour) {
    Traits::setParentAndColour(n, Traits::parent(n), colour);
  }
  static void adopt(T& parent, RbSide side, Ptr child) {
    if (child) setParent(*child, &parent);
    Traits::link(parent, side) = std::move(child);
  }

  static void insertFixup(Ptr& root, T* n) {
    for (;;) {
      T* parent = Traits::parent(*n);
      if (!parent) {
        setColour(*n, RbColour::black);  // n is the root (2)
        return;
      }
      if (!isRed(parent)) return;  // a red child of a black parent keeps (4)
      // parent is red, so not the root (2): the grandparent exists and is black (4).
      T* grand = Traits::parent(*parent);
      const RbSide side = sideOf(*grand, parent);
      T* uncle = Traits::child(*grand, opposite(side));
      if (isRed(uncle)) {
        // Case 1: red uncle. Push the grandparent's black down to both children; (5) holds
        // and (4) may now break one level up, at the grandparent.
        setColour(*parent, RbColour::black);
        setColour(*uncle, RbColour::black);
        setColour(*grand, RbColour::red);
        n = grand;
        continue;
      }
      if (sideOf(*parent, n) != side) {
        // Case 2: n is an inner grandchild. Rotating it above its red parent makes it outer;
        // both are red, so black counts (5) are unchanged.
        rotate(root, *parent, side);
        std::swap(n, parent);
      }
      // Case 3: n is an outer grandchild. Rotate the parent above the grandparent and swap
      // their colours: (4) holds and every path keeps its black count (5).
      setColour(*parent, RbColour::black);
      setColour(*grand, RbColour::red);
      rotate(root, *grand, opposite(side));
      return;
    }
  }

  /// z has at most one child, which takes its place.
  static Hole replaceByChild(Ptr& root, T& z, Ptr& taken) {
    T* parent = Traits::parent(z);
    const RbSide side = Traits::child(z, RbSide::left) ? RbSide::left : RbSide::right;
    Ptr child = std::move(Traits::link(z, side));
    T* c = child.get();
    if (c) setParent(*c, parent);
    taken = std::exchange(owner(root, z), std::move(child));
    return {c, parent, Traits::colour(z)};
  }

  /// z has two children: its successor y (leftmost on its right, so without a left child)
  /// takes z's place and colour; the hole is where y was.
  static Hole replaceBySuccessor(Ptr& root, T& z, Ptr& taken) {
    T* y = extreme(Traits::child(z, RbSide::right), RbSide::left);
    Hole hole{Traits::child(*y, RbSide::right), y, Traits::colour(*y)};
    Ptr& zOwner = owner(root, z);
    Ptr yRef;
    if (y == Traits::child(z, RbSide::right)) {
      yRef = std::move(Traits::link(z, RbSide::right));
    } else {
      hole.parent = Traits::parent(*y);
      yRef = std::exchange(Traits::link(*hole.parent, RbSide::left),
                           std::move(Traits::link(*y, RbSide::right)));
      if (hole.node) setParent(*hole.node, hole.parent);
      adopt(*y, RbSide::right, std::move(Traits::link(z, RbSide::right)));
    }
    adopt(*y, RbSide::left, std::move(Traits::link(z, RbSide::left)));
    Traits::setParentAndColour(*y, Traits::parent(z), Traits::colour(z));
    taken = std::exchange(zOwner, std::move(yRef));
    return hole;
  }

  /// The paths through the hole lack one black (5). Climb until a red node can absorb it or the
  /// shortage reaches the root, where it shortens every path alike.
  static void eraseFixup(Ptr& root, T* x, T* parent) {
    while (parent && !isRed(x)) {
      const RbSide side = sideOf(*parent, x);
      const RbSide other = opposite(side);
      // The sibling exists: its side has at least one black more than the hole's (5).
      T* sibling = Traits::child(*parent, other);
      if (isRed(sibling)) {
        // Case 1: red sibling, so a black parent (4). Rotate the sibling above the parent;
        // x's new sibling is one of the old sibling's black children.
        setColour(*sibling, RbColour::black);
        setColour(*parent, RbColour::red);
        rotate(root, *parent, side);
        sibling = Traits::child(*parent, other);
      }
      if (!isRed(Traits::child(*sibling, side)) && !isRed(Traits::child(*sibling, other))) {
        // Case 2: black sibling with black children. Making it red keeps (4) below it and
        // shortens its side too (5); the shortage moves up to the parent.
        setColour(*sibling, RbColour::red);
        x = parent;
        parent = Traits::parent(*x);
        continue;
      }
      if (!isRed(Traits::child(*sibling, other))) {
        // Case 3: only the near nephew is red. Rotate it above the sibling, swapping their
        // colours, so the far nephew is red; black counts (5) are unchanged.
        setColour(*Traits::child(*sibling, side), RbColour::black);
        setColour(*sibling, RbColour::red);
        rotate(root, *sibling, other);
        sibling = Traits::child(*parent, other);
      }
      // Case 4: the far nephew is red. Rotating the sibling above the parent, with the parent's
      // colour, adds a black on x's side while the far nephew, turned black, keeps the other
      // side's count: (5) is restored, and no red was put under a red (4).
      setColour(*sibling, Traits::colour(*parent));
      setColour(*parent, RbColour::black);
      setColour(*Traits::child(*sibling, other), RbColour::black);
      rotate(root, *parent, side);
      return;
    }
    if (x) setColour(*x, RbColour::black);  // a red x takes the missing black; a root is black (2)
  }

  /// The black height of the subtree at `n`, counting its leaves; records the first fault.
  static int blackHeight(const T& n, Census& census) {
    if (++census.nodes > census.limit) {
      census.error = "more nodes than the count " + std::to_string(census.limit);
      return 0;
    }
    int heights[2];
    for (RbSide side : {RbSide::left, RbSide::right}) {
      const T* c = Traits::child(n, side);
      int& height = heights[static_cast<int>(side)];
      height = 1;
      if (!c || !census.error.empty()) continue;
      if (Traits::parent(*c) != &n) census.error = "a child's parent link is wrong";
      if (isRed(&n) && isRed(c)) census.error = "a red node has a red child (4)";
      if (!census.error.empty()) continue;
      height = blackHeight(*c, census);
    }
    if (heights[0] != heights[1] && census.error.empty()) {
      census.error = "the black heights of two sibling subtrees differ (5)";
    }
    return heights[0] + (isRed(&n) ? 0 : 1);
  }
};

/// What every `RbTreeMap` holds apart from its root: the version and the member count.
class RbTreeMapGeneric {
 public:
  U32 version() const { return version_; }
  U32 count() const { return count_; }
  bool empty() const { return count_ == 0; }

 protected:
  RbTreeMapGeneric() = default;
  ~RbTreeMapGeneric() = default;
  RbTreeMapGeneric(const RbTreeMapGeneric&) = delete;
  RbTreeMapGeneric& operator=(const RbTreeMapGeneric&) = delete;

  void changed() { ++version_; }

  U32 version_ = 1;
  U32 count_ = 0;
};

/// Members of type `T` (a `Pondo::Node`) ordered by the key `Hook::rbKey` gives them (a small
/// copyable `K` ordered by `<=>`); `Hook::rbLinks` gives their embedded links. Keys are unique.
template <class T, class K, class Hook>
class RbTreeMap : public RbTreeMapGeneric {
  using Traits = RbTreeNodeTraits<T, Hook>;
  using Algorithm = RbTreeAlgorithm<Traits>;

 public:
  /// Where a key is or would go. `parent` and `left` mean something only when `found` is null.
  struct InsertPosition {
    T* found;
    T* parent;
    bool left;
  };
  class Iterator;

  RbTreeMap() = default;
  /// Releases every member; members held elsewhere survive with cleared links.
  ~RbTreeMap() { Algorithm::dispose(root_); }

  /// The member with `key`, or null.
  T* operator[](const K& key) const {
    for (T* n = root_.get(); n;) {
      const auto order = key <=> Hook::rbKey(*n);
      if (order == 0) return n;
      n = Traits::child(*n, order < 0 ? RbSide::left : RbSide::right);
    }
    return nullptr;
  }
  /// The member with `key` if present, else the one with the smallest greater key, else null.
  T* findElementOrNext(const K& key) const {
    T* candidate = nullptr;
    for (T* n = root_.get(); n;) {
      const auto order = key <=> Hook::rbKey(*n);
      if (order == 0) return n;
      if (order < 0) candidate = n;
      n = Traits::child(*n, order < 0 ? RbSide::left : RbSide::right);
    }
    return candidate;
  }
  /// The member with the smallest key strictly greater than `key`, or null.
  T* findElementAfter(const K& key) const {
    T* candidate = nullptr;
    for (T* n = root_.get(); n;) {
      const bool before = key < Hook::rbKey(*n);
      if (before) candidate = n;
      n = Traits::child(*n, before ? RbSide::left : RbSide::right);
    }
    return candidate;
  }
  /// The member with the smallest key, or null.
  T* first() const { return Algorithm::first(root_); }
  /// The in-order successor of a member, by its links; null after the last.
  static T* next(const T& member) { return Algorithm::next(member); }

  /// One descent, for callers that want to know whether a key is present before inserting.
  InsertPosition lookupForInsert(const K& key) const {
    InsertPosition at{nullptr, nullptr, true};
    for (T* n = root_.get(); n;) {
      const auto order = key <=> Hook::rbKey(*n);
      if (order == 0) return {n, nullptr, false};
      at = {nullptr, n, order < 0};
      n = Traits::child(*n, order < 0 ? RbSide::left : RbSide::right);
    }
    return at;
  }
  /// Inserts `member` where `lookupForInsert` of its key found no member; nothing may have
  /// been inserted or removed since.
  T& insertAt(const InsertPosition& at, Pondo::Ptr<T> member) {
    PONDO_ASSERT_MSG(!at.found, "RbTreeMap::insertAt: the key is already present");
    PONDO_ASSERT_MSG(member, "RbTreeMap::insertAt: null member");
    PONDO_ASSERT_MSG(!Algorithm::inTree(*member) && !Traits::child(*member, RbSide::left) &&
                         !Traits::child(*member, RbSide::right),
                     "RbTreeMap::insertAt: the member is already in a collection");
    const RbSide side = at.left ? RbSide::left : RbSide::right;
    PONDO_ASSERT_MSG(!(at.parent ? Traits::child(*at.parent, side) : root_.get()),
                     "RbTreeMap::insertAt: the position is stale");
    changed();
    ++count_;
    return Algorithm::insert(root_, at.parent, side, std::move(member));
  }
  /// Inserts `member`; its key must not be present (a fatal assertion).
  T& insert(Pondo::Ptr<T> member) {
    PONDO_ASSERT_MSG(member, "RbTreeMap::insert: null member");
    const InsertPosition at = lookupForInsert(Hook::rbKey(*member));
    PONDO_ASSERT_MSG(!at.found, "RbTreeMap: inserted a key that is already present");
    return insertAt(at, std::move(member));
  }
  /// Removes a member of this collection and hands the collection's reference to the caller.
  /// The check costs O(1): it catches a member of no collection and the root of another one,
  /// not an inner member of another collection.
  Pondo::Ptr<T> remove(T& member) {
    PONDO_ASSERT_MSG(
        Algorithm::inTree(member) && (Traits::parent(member) || root_.get() == &member),
        "RbTreeMap::remove: not a member of this collection");
    changed();
    --count_;
    return Algorithm::erase(root_, member);
  }
  /// Removes every member: one version change in all (none when already empty). Members are
  /// released after the collection is already empty.
  void clear() {
    if (!root_) return;
    changed();
    count_ = 0;
    Algorithm::dispose(root_);
  }

  Iterator begin() const { return Iterator(*this, first()); }
  Iterator end() const { return Iterator(*this, nullptr); }
  /// At the member with `key`, or the next greater one, or past the end.
  Iterator iteratorAt(const K& key) const { return Iterator(*this, findElementOrNext(key)); }
  /// At `member`, which must be in this collection, without a search.
  Iterator iteratorOf(T& member) const {
    PONDO_ASSERT_MSG(Algorithm::inTree(member), "RbTreeMap::iteratorOf: not a member");
    return Iterator(*this, &member);
  }

  /// For tests: empty when the tree is sound, else what is broken.
  std::string checkInvariants() const {
    return Algorithm::check(root_, count_,
                            [](const T& a, const T& b) { return Hook::rbKey(a) < Hook::rbKey(b); });
  }

 private:
  Pondo::Ptr<T> root_;
};

/// A forward iterator that keeps its member alive and follows the version rule above.
template <class T, class K, class Hook>
class RbTreeMap<T, K, Hook>::Iterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = T*;
  using reference = T&;

  Iterator() = default;

  T* member() const { return member_.get(); }
  bool atEnd() const { return !member_; }
  explicit operator bool() const { return !atEnd(); }
  /// The collection's version when this iterator was last positioned.
  U32 version() const { return version_; }

  T& operator*() const {
    PONDO_ASSERT_MSG(member_, "RbTreeMap::Iterator: dereferenced past the end");
    return *member_;
  }
  T* operator->() const { return &**this; }

  /// The next member in key order; past the end stays past the end.
  Iterator& operator++() {
    if (!member_) return *this;
    T* to = map_->version() == version_ ? linkedSuccessor()
                                        : map_->findElementAfter(Hook::rbKey(*member_));
    // Recorded before the old member is released: its release may change the collection.
    version_ = map_->version();
    member_ = Pondo::Ptr<T>(to);
    return *this;
  }
  Iterator operator++(int) {
    Iterator before = *this;
    ++*this;
    return before;
  }

  friend bool operator==(const Iterator& a, const Iterator& b) {
    return a.member_.get() == b.member_.get();
  }

 private:
  friend class RbTreeMap;

  Iterator(const RbTreeMap& map, T* at) : map_(&map), member_(at), version_(map.version()) {}

  T* linkedSuccessor() const {
    PONDO_ASSERT_MSG(Algorithm::inTree(*member_),
                     "RbTreeMap::Iterator: member left the collection without a version change");
    return Algorithm::next(*member_);
  }

  const RbTreeMap* map_ = nullptr;
  Pondo::Ptr<T> member_;
  U32 version_ = 0;
};

}  // namespace Qel
