#pragma once
// The matcher: what the flooder's events mean for the matching (after Edmonds' blossom
// algorithm, with regions for vertices as sparse blossom grows them).
//
// Every unmatched region roots an alternating tree: outer regions grow, inner regions (each
// matched to its one child) shrink. An outer region that reaches
//   - the boundary, or a region matched to the boundary: its tree augments along the path to
//     its root and dissolves into matches;
//   - an outer region of another tree: both trees augment and dissolve;
//   - an outer region of its own tree: the cycle through their common ancestor becomes a
//     blossom, an outer region of the tree;
//   - a matched region: that region joins the tree as inner, its partner as outer below it.
// An inner blossom whose radius reaches zero shatters: the even path around its cycle from
// where its parent attaches to where its child attaches joins the tree, the rest pairs off. An
// inner event region whose radius reaches zero lets its parent and child touch through it, which
// closes a blossom of the three.
#include <cstdint>
#include <vector>

#include "ostrel/decode/matching/flooder.h"

namespace ostrel::decode::matching {

class AlternatingTrees {
 public:
  explicit AlternatingTrees(Flooder& flooder) : f_(flooder) {}

  void handle(const MatcherEvent& event);
  // A frozen region whose partner is gone: it roots a tree of its own again and grows.
  void reopen(uint32_t r);

 private:
  void hit_region(uint32_t a, uint32_t b, const CompressedEdge& edge);
  void form_blossom(uint32_t a, uint32_t b, const CompressedEdge& edge);
  // Matches `a` to its new partner and flips the matching along the path to a's root.
  void augment(uint32_t a, uint32_t partner, bool to_boundary, const CompressedEdge& edge);
  // Every region of the tree becomes frozen and leaves it.
  void dissolve(uint32_t root);
  void shatter(uint32_t blossom);
  uint32_t root_of(uint32_t r) const;
  static void match(Region& a, uint32_t b, const CompressedEdge& edge) {
    a.match = b;
    a.matched_to_boundary = false;
    a.match_edge = edge;
  }
  bool marked(uint32_t r) const { return r < mark_.size() && mark_[r] == stamp_; }
  void mark(uint32_t r) {
    if (r >= mark_.size()) mark_.resize(r + 1, 0);
    mark_[r] = stamp_;
  }

  Flooder& f_;
  std::vector<uint32_t> mark_;
  uint32_t stamp_ = 0;
  std::vector<uint32_t> path_a_;
  std::vector<uint32_t> path_b_;
  std::vector<BlossomChild> cycle_;
  std::vector<uint32_t> stack_;
};

}  // namespace ostrel::decode::matching
