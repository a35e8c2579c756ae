#pragma once
// The circuit tree.  A circuit is a series list of nodes; a node is a leaf
// (an element with an optional label) or a parallel group of branches, each
// branch itself a series list.  Trees own their nodes; copies are deep.
#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "elements/element.h"

namespace kelvora {

struct Node;
using SeriesList = std::vector<Node>;

struct Leaf {
  Element element;
  std::optional<std::string> label;  // UTF-8; parsed leaves always have one
};

struct ParallelGroup {
  std::vector<SeriesList> branches;
};

struct Node {
  std::variant<Leaf, ParallelGroup> value;

  bool is_leaf() const { return value.index() == 0; }
  const Leaf& leaf() const { return std::get<0>(value); }
  const ParallelGroup& group() const { return std::get<1>(value); }
};

// Deepest nesting of parallel groups that circuits may have.  Every tree walk
// in the core recurses once per level, so deeper trees are refused where they
// are built (parser, Series/Parallel) instead of risking the stack.
inline constexpr std::size_t kMaxNestingDepth = 1000;

// Stack a tree walk may take per nesting level (the deepest walks, a fit
// that guesses its start, take about half of it), and the stack kept free
// for everything around the walk.  Builds with AddressSanitizer or without
// optimisation take two to three times as much.
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
#define KELVORA_LARGE_FRAMES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELVORA_LARGE_FRAMES 1
#endif
#endif
#ifdef KELVORA_LARGE_FRAMES
inline constexpr std::size_t kStackPerLevel = 4096;
inline constexpr std::size_t kStackReserve = 256 * 1024;
#else
inline constexpr std::size_t kStackPerLevel = 1024;
inline constexpr std::size_t kStackReserve = 64 * 1024;
#endif

// The deepest nesting the calling thread may walk: kMaxNestingDepth, or
// less on a thread whose free stack would not hold that many levels.  Trees
// nested deeper are refused on this thread before any walk starts.
std::size_t nesting_limit();

// Empties `nodes` without recursion, level by level: the destructor of a
// deep tree would go one call deeper per level, on whatever thread drops it.
void release_tree(SeriesList& nodes);

// Nesting depth of parallel groups (0 for a list of leaves).  Does not
// recurse, so it may measure any tree on any thread.
std::size_t nesting_depth(const SeriesList& nodes);

}  // namespace kelvora
