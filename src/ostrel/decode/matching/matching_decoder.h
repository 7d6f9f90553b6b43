#pragma once
// Exact minimum-weight perfect matching of a shot's detection events on the decoding graph (the
// boundary taking any number of them), grown as sparse blossom does: regions grow from the
// events over the graph itself, so a decode costs what its regions cover, never the whole
// graph, and nothing is allocated once the scratch space has grown to the largest decode seen.
//
// The matching is minimum for integer weights of 1/4096 of ln((1 - p) / p), rounded
// (edge_weights.h): for the model's own weights, its weight is within (n + m) / 8192 of the
// minimum, n and m the edge counts of the correction and of a minimum one. Edges with p > 0.5 are taken as occurred
// (see decoding_graph.h). A syndrome no perfect matching covers (an odd number of events in a
// component without boundary) leaves those events unmatched; callers check it beforehand
// (graph_components.h).
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "ostrel/decode/graph_decoder.h"
#include "ostrel/decode/matching/alternating_trees.h"
#include "ostrel/decode/matching/edge_weights.h"
#include "ostrel/decode/matching/flooder.h"
#include "ostrel/decode/matching/shortest_paths.h"

namespace ostrel::decode::matching {

class MatchingDecoder final : public GraphDecoder {
 public:
  explicit MatchingDecoder(std::shared_ptr<const DecodingGraph> graph);

  uint64_t decode(std::span<const uint32_t> fired_detectors) override;
  // The matched paths' edges, read back from growth's records on demand (searched for where the
  // records have changed since a path was found).
  std::span<const uint32_t> correction() override { return correction_reaching(kNone); }
  // The same less the matched paths that no shortest path between their ends could take to a node
  // below `below` (kNone: none left out). A window needs only the edges with an end in its commit
  // region, its first nodes: the rest of the buffer's paths are not read. Edges taken as occurred
  // or set weights leave nothing out.
  std::span<const uint32_t> correction_reaching(uint32_t below) { return correction_reaching(below, nullptr); }
  // The same, also leaving out the paths that no shortest path between their ends could take to a
  // node at or past `below` (wholly inside the commit region: every edge committed, none flipping
  // a buffer's event) and XOR-ing their observables, as growth found them, into `*inside`.
  std::span<const uint32_t> correction_reaching(uint32_t below, uint64_t* inside);
  double correction_weight() override { return static_cast<double>(weight_) / kFineScale; }
  void set_edge_weight(uint32_t edge, int32_t weight) override;
  void restore_edge_weights() override;
  // After edges were set: the regions that growth no longer proves minimal (those that cover a
  // lowered edge past its new length, or reached across or met on a raised one) are dissolved,
  // their partners grow again, and the matcher goes on from there; the rest keep their regions and
  // matches. The result is a minimum under the new weights, as a fresh decode's is. Edges raised
  // by restore_edge_weights() decode afresh.
  uint64_t decode_again(std::span<const uint32_t> fired_detectors) override;
  // Sliding windows: decodes the window that follows `last`'s last decode (`last` may be this
  // decoder) and starts with its nodes from `shift` on, numbered `shift` lower; those below
  // `stable_end` have the same edges in both graphs, those past it (the rounds next to the last
  // window's open future) the same edges among the nodes both hold and no edge shorter than the
  // boundary edge they had. The regions of `last` that lie wholly past `shift`, hold none of the
  // `flipped` nodes (events the commit toggled, in `last`'s numbering) and are matched carry over,
  // frozen; a region whose partner stays behind, or matched to the boundary from past stable_end,
  // grows again; every other event grows from nothing. The result is a minimum-weight matching
  // of this graph, as a fresh decode's is (where several are minimum, it may be another of them).
  // Decodes afresh when `last` holds no finished decode, or either graph has edges taken as
  // occurred, or weights are set. Each fired detector is listed once. The carried regions' node
  // and child lists are moved out of `last`: its matching and correction still read out, but its
  // growth does not go on (a decode_again of it, or a second decode_after from it, starts afresh).
  uint64_t decode_after(MatchingDecoder& last, uint32_t shift, uint32_t stable_end, std::span<const uint32_t> flipped,
                        std::span<const uint32_t> fired_detectors);
  // Regions the last decode_after() carried (0 after any other decode).
  uint32_t carried_regions() const { return carried_; }
  // Regions the last decode_again() dissolved (0 after a fresh decode).
  uint32_t dissolved_regions() const { return dissolved_; }
  const DecodingGraph& graph() const override { return *graph_; }
  const std::shared_ptr<const DecodingGraph>& shared_graph() const override { return graph_; }
  std::unique_ptr<GraphDecoder> clone() const override { return std::make_unique<MatchingDecoder>(graph_); }

  // The matched paths of the last decode, by their ends (`to` may be the boundary node).
  std::span<const CompressedEdge> matched() const { return matched_; }
  // Paths of the last correction() that had to be searched for.
  uint32_t searched_paths() const { return searched_paths_; }

 private:
  // Runs the flooder's events through the matcher until none is left.
  void grow();
  // Reads the matching out of the regions, blossoms opened down to their events.
  uint64_t read_out();

  std::shared_ptr<const DecodingGraph> graph_;
  Flooder flooder_;
  AlternatingTrees trees_;
  ShortestPaths paths_;
  std::vector<uint8_t> parity_;
  std::vector<uint32_t> toggled_;
  std::vector<CompressedEdge> matched_;
  Time radii_ = 0;
  uint32_t searched_paths_ = 0;
  std::vector<std::pair<uint32_t, uint32_t>> open_;  // blossoms to open, with the event they are matched at
  std::vector<uint32_t> correction_;
  bool correction_ready_ = false;
  uint32_t correction_below_ = kNone;  // what correction_ holds, when ready
  // Per matched path, the blossom its ends' regions sit in (kNone: top level), so that the radii
  // it crosses, its length when tight, can be summed.
  std::vector<uint32_t> matched_within_;
  // Per node, the distances (the graph's own lengths) to the nearest node below distance_below_
  // and to the nearest at or past it: side by side, since a path's ends read both (one miss).
  struct Distances {
    Time below;
    Time past;
  };
  std::vector<Distances> distance_;
  uint32_t distance_below_ = kNone;
  bool correction_inside_ = false;  // correction_ leaves out the paths inside, of observables inside_
  uint64_t inside_ = 0;
  std::vector<uint32_t> kept_;  // the matched paths read
  // The radii of the regions holding `event` up to (not including) `within`.
  Time radii_around(uint32_t event, uint32_t within) const;
  void measure_distances(uint32_t below);
  std::vector<uint8_t> edge_parity_;  // per edge, zero between decodes
  int64_t weight_ = 0;
  int64_t flipped_weight_ = 0;
  // Per edge, what re-weighting keeps, in one place: correlated decoding sets hundreds of edges a
  // shot, scattered over the graph.
  struct EdgeChange {
    int32_t length_at_decode = 0;  // valid where `changed`
    uint8_t changed = 0;           // in changed_
    uint8_t reweighted = 0;        // in reweighted_
  };
  std::vector<EdgeChange> edge_change_;
  std::vector<uint32_t> reweighted_;
  // Edges whose length changed since the last decode, with their length in it. Inline: correlated
  // decoding sets hundreds of edges a shot.
  void set_length(uint32_t edge, int32_t length) {
    EdgeChange& c = edge_change_[edge];
    // Only decode_again reads the records, and it decodes afresh while raised_ (or cold) anyway.
    if (!c.changed && warm_ && !raised_) {
      c.changed = 1;
      c.length_at_decode = flooder_.length(edge);
      changed_.push_back(edge);
    }
    flooder_.set_edge_length(edge, length);
  }
  void forget_changes();
  std::vector<uint32_t> changed_;
  bool raised_ = false;  // restore_edge_weights raised an edge since the decode (not in changed_)
  bool warm_ = false;  // the flooder holds the finished growth of the last decode
  std::vector<uint32_t> dirty_;
  uint64_t mask_ = 0;  // read_out()'s last answer
  std::vector<uint32_t> regrow_;
  std::vector<uint8_t> dirty_mark_;  // per region
  uint32_t dissolved_ = 0;
  // decode_after(): what is carried, and per region of the last decode whether it stays behind.
  Flooder::Carry carry_;
  std::vector<uint32_t> carry_ids_;
  std::vector<uint32_t> restore_ids_;  // kNone but while restore() works (never the walk's scratch)
  std::vector<uint8_t> left_behind_;
  uint32_t carried_ = 0;
};

}  // namespace ostrel::decode::matching
