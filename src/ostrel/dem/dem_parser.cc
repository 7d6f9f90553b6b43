#include "ostrel/dem/dem_parser.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "ostrel/dem/dem_lexer.h"
#include "ostrel/util/id_set.h"

namespace ostrel::dem {
namespace {

// Four pieces: three of position and time, and the 4th that colour-code models annotate.
using Coords = std::array<double, 4>;
using Failure = std::optional<DemParseError>;

constexpr std::string_view kShiftDetectors = "shift_detectors";

// Detector offsets saturate: any offset beyond the 32-bit range already makes every later
// detector target invalid, so the exact amount past it does not matter.
uint64_t add_saturating(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t mul_saturating(uint64_t a, uint64_t b) {
  if (a == 0 || b == 0) return 0;
  return a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// The index a written detector target names under the running offset, if it fits in 32 bits.
std::optional<uint32_t> shifted(uint32_t raw, uint64_t offset) {
  if (offset > UINT32_MAX - raw) return std::nullopt;
  return static_cast<uint32_t>(raw + offset);
}

bool is_shift_instruction(std::string_view line) {
  if (!line.starts_with(kShiftDetectors)) return false;
  if (line.size() == kShiftDetectors.size()) return true;
  const char next = line[kShiftDetectors.size()];
  return next == '(' || next == '[' ||
         space_len_at(line.data() + kShiftDetectors.size(), line.data() + line.size()) > 0;
}

// Instruction names may carry a tag in square brackets right after them (`error[leak](0.1) D0`,
// `repeat[r] 3 {`). A tag means nothing for decoding, so a tagged instruction reads exactly as
// the same instruction without its tag. The tag runs to the first "]".
struct AfterName {
  std::string_view rest;      // the line after the name and its tag
  bool tagged = false;
  bool unterminated = false;  // a "[" with no "]" after it
};

// `line` starts with `name`.
AfterName after_name(std::string_view line, std::string_view name) {
  std::string_view rest = line.substr(name.size());
  if (!rest.starts_with('[')) return {rest};
  const size_t close = rest.find(']');
  if (close == std::string_view::npos) return {{}, true, true};
  return {rest.substr(close + 1), true};
}

// The text after "error(" (past a tag) of an error instruction, or nothing for other lines.
std::optional<std::string_view> error_arguments(std::string_view line) {
  if (!line.starts_with("error")) return std::nullopt;
  const AfterName after = after_name(line, "error");
  if (after.unterminated || !after.rest.starts_with('(')) return std::nullopt;
  return after.rest.substr(1);
}

// Splits a parenthesised argument list at its commas.
class Pieces {
 public:
  explicit Pieces(std::string_view text) : rest_(text) {}
  bool next(std::string_view& piece) {
    if (done_) return false;
    const size_t comma = rest_.find(',');
    if (comma == std::string_view::npos) {
      piece = rest_;
      done_ = true;
    } else {
      piece = rest_.substr(0, comma);
      rest_.remove_prefix(comma + 1);
    }
    return true;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

// A detector declaration as written: its coordinates (unshifted) and its target text.
struct Declaration {
  std::optional<Coords> coords;
  size_t written = 0;  // coordinate pieces written; shifts apply to these only
  std::string_view targets;
};

// `args` is the line after "detector" and its tag; `line` the whole line, for messages.
Failure read_declaration(std::string_view line, std::string_view args, Declaration& out) {
  if (const size_t open = args.find('('); open != std::string_view::npos) {
    const size_t close = args.find(')');
    if (close == std::string_view::npos || close < open) return DemParseError::malformed_detector_coords(line);
    const std::string_view inner = args.substr(open + 1, close - open - 1);
    Coords c{0.0, 0.0, 0.0, 0.0};
    if (!trim(inner).empty()) {
      Pieces pieces(inner);
      std::string_view piece;
      for (; pieces.next(piece); ++out.written)
        if (out.written < 4) c[out.written] = parse_float(trim(piece)).value_or(0.0);
    }
    out.coords = c;
    out.targets = args.substr(close + 1);
  } else {
    out.targets = args;
  }
  return {};
}

std::optional<Coords> shifted_coords(const Declaration& d, const Coords& shift) {
  if (!d.coords) return std::nullopt;
  Coords c = *d.coords;
  // Adding a zero shift is skipped so that a written -0 stays -0.
  for (size_t k = 0; k < 4 && k < d.written; ++k)
    if (shift[k] != 0.0) c[k] += shift[k];
  return c;
}

class LineReader {
 public:
  explicit LineReader(std::string_view text) : pos_(text.data()), end_(text.data() + text.size()) {}

  // The next line, trimmed. The text is split at every newline, so text ending in a newline
  // yields a last, empty line.
  bool next(std::string_view& line) {
    if (done_) return false;
    const char* nl =
        pos_ == end_ ? nullptr
                     : static_cast<const char*>(std::memchr(pos_, '\n', static_cast<size_t>(end_ - pos_)));
    const char* stop = nl ? nl : end_;
    line = trim({pos_, static_cast<size_t>(stop - pos_)});
    if (nl) {
      pos_ = nl + 1;
    } else {
      done_ = true;
    }
    return true;
  }

  const char* position() const { return pos_; }

  // Whether a line that is exactly "}" lies ahead; the reader itself does not move.
  bool closing_line_ahead() const {
    LineReader ahead = *this;
    std::string_view line;
    while (ahead.next(line))
      if (line == "}") return true;
    return false;
  }

 private:
  const char* pos_;
  const char* end_;
  bool done_ = false;
};

class Parser {
 public:
  Parser(std::string_view text, const DemLimits& limits) : text_(text), lines_(text), limits_(limits) {
    // Room for the text's own errors (an error line takes at least a dozen bytes); repeat
    // blocks reserve their copies when they expand.
    const size_t likely_errors = std::min<size_t>(text.size() / 24, limits_.errors);
    model_.error_records.reserve(likely_errors);
    model_.detector_targets.reserve(2 * likely_errors);
  }

  Result<DetectorErrorModel, DemParseError> run() {
    std::string_view line;
    while (lines_.next(line)) {
      if (Failure f = parse_line(line)) {
        locate(*f, line);
        return fail(std::move(*f));
      }
    }
    model_.detector_count = max_detector_plus_one_;
    model_.observable_count = max_observable_plus_one_;
    return std::move(model_);
  }

 private:
  // The written line a view into the text starts on (1-based), or 0 for a view into written-out
  // nested text, which no written line holds whole.
  uint64_t line_number_of(std::string_view line) const {
    if (line.data() < text_.data() || line.data() > text_.data() + text_.size()) return 0;
    return 1 + static_cast<uint64_t>(std::count(text_.data(), line.data(), '\n'));
  }

  // Failures name the written line they were met on, where one holds them.
  void locate(DemParseError& failure, std::string_view line) const {
    if (failure.line_number != 0) return;
    failure.line_number = line_number_of(line);
    if (failure.line_number != 0) failure.line = std::string(line);
  }

  // Lines no instruction reads are skipped; the first is kept for decoders, which refuse it.
  void note_unknown(std::string_view line) {
    if (model_.first_unknown_line) return;
    model_.first_unknown_line = UnknownLine{line_number_of(line), std::string(line)};
  }

  // A detector declaration of a repeat body, kept to be replayed in later repetitions.
  struct BodyDeclaration {
    std::string_view line;
    size_t errors_before;  // body errors written above it
    uint64_t offset;       // detector offset at the line, first repetition
    Coords coord_shift;    // coordinate shift at the line, first repetition
    Declaration text;      // what the line says, unshifted
    uint32_t raw_index;    // the written index the first repetition took
  };

  // Everything about the model as it stood when a repeat block began.
  struct BlockStart {
    size_t errors;
    size_t component_breaks;
    size_t detector_targets;
    size_t observable_targets;
    uint64_t offset;
    Coords coord_shift;
    std::string_view body_text;  // from the first body line on
  };

  Failure parse_line(std::string_view line) {
    if (line.empty()) return {};
    AfterName after;
    switch (line[0]) {
      case 'e':
        if (!line.starts_with("error")) break;
        after = after_name(line, "error");
        if (after.unterminated) return DemParseError::unterminated_tag(line);
        if (after.rest.starts_with('(')) return parse_error(line, after.rest.substr(1));
        break;
      case 'd':
        if (!line.starts_with("detector")) break;
        after = after_name(line, "detector");
        if (after.unterminated) return DemParseError::unterminated_tag(line);
        return parse_detector(line, after.rest);
      case 'l':
        if (!line.starts_with("logical_observable")) break;
        after = after_name(line, "logical_observable");
        if (after.unterminated) return DemParseError::unterminated_tag(line);
        // A body is read as a model of its own whose counts are dropped, so its observable
        // declarations have no effect.
        if (in_body_) return {};
        if (!after.tagged) {
          parse_observable(line);
        } else {
          // Without its tag, the name and whatever follows it up to a space would be one token,
          // never a target: skip that part here too.
          const std::string_view rest = after.rest;
          parse_observable(rest, !rest.empty() && space_len_at(rest.data(), rest.data() + rest.size()) == 0);
        }
        return {};
      case 'r':
        if (!line.starts_with("repeat")) break;
        after = after_name(line, "repeat");
        if (after.unterminated) return DemParseError::unterminated_tag(line);
        if (after.rest.starts_with(' ')) return parse_repeat(after.rest);
        break;
      case 's':
        if (is_shift_instruction(line)) return parse_shift(line);
        break;
      case '#':
        return {};
      default:
        break;
    }
    note_unknown(line);
    return {};
  }

  void note_detector(uint32_t index) {
    if (uint64_t{index} + 1 > max_detector_plus_one_) max_detector_plus_one_ = uint64_t{index} + 1;
  }
  void note_observable(uint8_t index) {
    if (uint64_t{index} + 1 > max_observable_plus_one_) max_observable_plus_one_ = uint64_t{index} + 1;
  }
  // Separators count as targets against the size limit: each one is kept as a break.
  size_t target_total() const {
    return model_.detector_targets.size() + model_.observable_targets.size() + model_.component_breaks.size();
  }

  // `rest` is the line after "error(" (and the tag before the parenthesis, if any).
  Failure parse_error(std::string_view line, std::string_view rest) {
    const size_t close = rest.find(')');
    if (close == std::string_view::npos) return DemParseError::invalid_probability(line);
    const std::string_view written = rest.substr(0, close);
    const std::optional<double> probability = read_probability(written);
    if (!probability) return DemParseError::invalid_probability(written);
    if (model_.error_records.size() >= limits_.errors)
      return DemParseError::model_too_large("errors", limits_.errors);

    DetectorErrorModel::ErrorRecord record;
    record.probability = *probability;
    record.detectors_begin = static_cast<uint32_t>(model_.detector_targets.size());
    record.observables_begin = static_cast<uint32_t>(model_.observable_targets.size());
    Tokens tokens(rest.substr(close + 1));
    std::string_view token;
    while (tokens.next(token)) {
      if (target_total() >= limits_.targets)
        return DemParseError::model_too_large("error targets", limits_.targets);
      if (token.size() == 1 && token[0] == '^') {
        // Separates components: the error is all of them, the break remembers where each begins.
        model_.component_breaks.push_back({static_cast<uint32_t>(model_.error_records.size()),
                                           static_cast<uint32_t>(model_.detector_targets.size()),
                                           static_cast<uint32_t>(model_.observable_targets.size())});
        continue;
      }
      if (token[0] == 'D') {
        const std::optional<uint32_t> raw = parse_detector_target(token);
        const std::optional<uint32_t> index = raw ? shifted(*raw, offset_) : std::nullopt;
        if (!index) return DemParseError::malformed_target(token);
        model_.detector_targets.push_back(*index);
        note_detector(*index);
      } else {
        const std::optional<uint8_t> index = parse_observable_target(token);
        if (!index) return DemParseError::malformed_target(token);
        model_.observable_targets.push_back(*index);
        note_observable(*index);
      }
    }
    record.detectors_end = static_cast<uint32_t>(model_.detector_targets.size());
    record.observables_end = static_cast<uint32_t>(model_.observable_targets.size());
    model_.error_records.push_back(record);
    return {};
  }

  // Models repeat a handful of probability texts many times over; the last few readings are
  // kept so that most errors skip the float conversion.
  std::optional<double> read_probability(std::string_view written) {
    for (const RecentProbability& r : recent_probabilities_)
      if (r.known && r.text == written) return r.value;
    const std::optional<double> value = parse_float(trim(written));
    if (value) {
      recent_probabilities_[next_recent_] = {true, written, *value};
      next_recent_ = (next_recent_ + 1) % recent_probabilities_.size();
    }
    return value;
  }

  Failure parse_detector(std::string_view line, std::string_view args) {
    Declaration text;
    if (Failure f = read_declaration(line, args, text)) return f;
    uint32_t raw = 0;
    const std::optional<uint32_t> index = first_valid_target(text.targets, offset_, raw);
    if (!index) return DemParseError::malformed_target(line);
    if (in_body_)
      body_declarations_.push_back(
          {line, model_.error_records.size() - block_.errors, offset_, coord_shift_, text, raw});
    return declare(*index, shifted_coords(text, coord_shift_), text.written);
  }

  // The first token of `targets` that is a detector target still in range under `offset`.
  static std::optional<uint32_t> first_valid_target(std::string_view targets, uint64_t offset, uint32_t& raw) {
    Tokens tokens(targets);
    std::string_view token;
    while (tokens.next(token)) {
      if (const std::optional<uint32_t> written = parse_detector_target(token)) {
        if (const std::optional<uint32_t> index = shifted(*written, offset)) {
          raw = *written;
          return index;
        }
      }
    }
    return std::nullopt;
  }

  Failure declare(uint32_t index, const std::optional<Coords>& coords, size_t written) {
    note_detector(index);
    if (declared_.contains(index)) return {};  // the first declaration wins
    if (model_.detectors.size() >= limits_.detector_declarations)
      return DemParseError::model_too_large("detector declarations", limits_.detector_declarations);
    declared_.insert(index);
    DemDetector detector;
    detector.id = index;
    if (coords) {
      detector.coords = std::array<double, 3>{(*coords)[0], (*coords)[1], (*coords)[2]};
      detector.coord_count = static_cast<uint32_t>(std::min<size_t>(written, 3));
      if (written >= 4) detector.fourth_coord = (*coords)[3];
    }
    model_.detectors.push_back(detector);
    return {};
  }

  void parse_observable(std::string_view text, bool skip_first_token = false) {
    Tokens tokens(text);
    std::string_view token;
    if (skip_first_token) tokens.next(token);
    while (tokens.next(token)) {
      if (const std::optional<uint8_t> index = parse_observable_target(token)) {
        note_observable(*index);
        return;
      }
    }
  }

  // shift_detectors[tag](c1, c2, ...) K: later detector targets gain K, later declared
  // coordinates gain (c1, c2, c3). Anything malformed fails with the whole line.
  Failure parse_shift(std::string_view line) {
    const AfterName after = after_name(line, kShiftDetectors);
    if (after.unterminated) return DemParseError::unterminated_tag(line);
    std::string_view rest = after.rest;
    Coords delta{0.0, 0.0, 0.0, 0.0};
    if (rest.starts_with('(')) {
      const size_t close = rest.find(')');
      if (close == std::string_view::npos) return DemParseError::malformed_target(line);
      const std::string_view inner = rest.substr(1, close - 1);
      if (!trim(inner).empty()) {
        Pieces pieces(inner);
        std::string_view piece;
        for (size_t k = 0; pieces.next(piece); ++k) {
          const std::optional<double> value = parse_float(trim(piece));
          if (!value) return DemParseError::malformed_target(line);
          if (k < 4) delta[k] = *value;
        }
      }
      rest.remove_prefix(close + 1);
    }
    Tokens tokens(rest);
    std::string_view token;
    if (!tokens.next(token)) return DemParseError::malformed_target(line);
    const std::optional<uint64_t> amount = parse_unsigned(token, UINT64_MAX, false);
    if (!amount || tokens.next(token)) return DemParseError::malformed_target(line);

    offset_ = add_saturating(offset_, *amount);
    body_offset_ = add_saturating(body_offset_, *amount);
    for (size_t k = 0; k < 4; ++k) {
      coord_shift_[k] += delta[k];
      body_coord_shift_[k] += delta[k];
    }
    return {};
  }

  // `args` is the header after "repeat" and its tag.
  Failure parse_repeat(std::string_view args) {
    Tokens tokens(trim(args));
    std::string_view token;
    if (!tokens.next(token)) token = {};
    const std::optional<uint64_t> count = parse_unsigned(token, UINT64_MAX, true);
    if (!count) return DemParseError::invalid_repeat_count(token);
    if (in_body_) return parse_nested_repeat(*count);

    const char* body_begin = lines_.position();
    block_ = {model_.error_records.size(), model_.component_breaks.size(), model_.detector_targets.size(),
              model_.observable_targets.size(), offset_, coord_shift_, {}};
    body_declarations_.clear();
    body_offset_ = 0;
    body_coord_shift_ = {0.0, 0.0, 0.0, 0.0};
    in_body_ = true;
    // The body is read once, as the first repetition, straight into the model.
    std::string_view body_line;
    for (;;) {
      const char* line_begin = lines_.position();
      if (!lines_.next(body_line)) return DemParseError::unterminated_repeat();
      if (body_line == "}") {
        block_.body_text = {body_begin, static_cast<size_t>(line_begin - body_begin)};
        break;
      }
      if (Failure f = parse_line(body_line)) {
        // An unterminated block is reported as such, whatever its body holds.
        if (!lines_.closing_line_ahead()) return DemParseError::unterminated_repeat();
        locate(*f, body_line);
        return f;
      }
    }
    in_body_ = false;
    Failure expanded = expand_block(*count);
    // The body's declarations have been replayed: nothing views the written-out text now.
    body_declarations_.clear();
    expansions_.clear();
    // Nor may the probability cache: its texts may have been written out too.
    recent_probabilities_ = {};
    return expanded;
  }

  // A block inside a body (Stim writes them for nested loops). Its body, up to its matching "}",
  // is written out `count` times and read as lines of the enclosing body: the enclosing block's
  // expansion then repeats it with everything else.
  Failure parse_nested_repeat(uint64_t count) {
    // Each level reads its body by recursion: hostile text must not exhaust the stack.
    if (nesting_ >= kMaxRepeatNesting)
      return DemParseError::model_too_large("levels of nested repeat blocks", kMaxRepeatNesting);
    std::string body;
    size_t errors_in_body = 0;
    if (Failure f = read_nested_body(body, errors_in_body)) return f;
    if (count == 0) return {};
    if (errors_in_body != 0 && count > limits_.errors / errors_in_body)
      return DemParseError::model_too_large("errors", limits_.errors);
    // All nested text of a parse counts against one bound: blocks inside blocks multiply.
    const uint64_t room = kMaxNestedText - nested_text_;
    if (body.size() != 0 && count > room / body.size())
      return DemParseError::model_too_large("bytes of nested repeat text", kMaxNestedText);
    nested_text_ += body.size() * count;
    std::string& text = expansions_.emplace_back();
    text.reserve(body.size() * count);
    for (uint64_t r = 0; r < count; ++r) text += body;
    LineReader copies(text);
    LineReader* outer = reader_;
    reader_ = &copies;
    ++nesting_;
    std::string_view line;
    Failure failure;
    while (!failure && copies.next(line)) failure = parse_line(line);
    --nesting_;
    reader_ = outer;
    return failure;
  }

  // The lines of a nested body up to its matching "}" (a line that is exactly "}", as at the
  // top level), each followed by a newline; headers inside it open blocks of their own.
  Failure read_nested_body(std::string& body, size_t& errors_in_body) {
    size_t depth = 0;
    std::string_view line;
    for (;;) {
      if (!reader_->next(line)) return DemParseError::unterminated_repeat();
      if (line == "}") {
        if (depth == 0) return {};
        --depth;
      } else if (line.starts_with("repeat")) {
        const AfterName after = after_name(line, "repeat");
        depth += !after.unterminated && after.rest.starts_with(' ');
      } else if (line.starts_with("error")) {
        ++errors_in_body;
      }
      body.append(line).push_back('\n');
    }
  }

  // Adds repetitions 2..count of the body just read, each shifted by the body's own detector
  // offset and coordinate shift, and leaves the offsets where the last repetition ends.
  Failure expand_block(uint64_t count) {
    const BlockStart& start = block_;
    if (count == 0) {
      // Nothing repeats, yet the indices and declarations taken while reading the body stay.
      model_.error_records.resize(start.errors);
      model_.component_breaks.resize(start.component_breaks);
      model_.detector_targets.resize(start.detector_targets);
      model_.observable_targets.resize(start.observable_targets);
      offset_ = start.offset;
      coord_shift_ = start.coord_shift;
      return {};
    }
    const uint64_t body_errors = model_.error_records.size() - start.errors;
    body_breaks_end_ = model_.component_breaks.size();
    const uint64_t body_targets =
        target_total() - start.detector_targets - start.observable_targets - start.component_breaks;
    const uint64_t more = count - 1;
    const bool replay_declarations = body_offset_ != 0 && !body_declarations_.empty();
    if (body_errors != 0 && more > (limits_.errors - model_.error_records.size()) / body_errors)
      return DemParseError::model_too_large("errors", limits_.errors);
    if (body_targets != 0 && more > (limits_.targets - target_total()) / body_targets)
      return DemParseError::model_too_large("error targets", limits_.targets);
    if (replay_declarations &&
        more > (limits_.detector_declarations - model_.detectors.size()) / body_declarations_.size())
      return DemParseError::model_too_large("detector declarations", limits_.detector_declarations);

    if (body_errors != 0 || replay_declarations) {
      model_.error_records.reserve(model_.error_records.size() + more * body_errors);
      model_.detector_targets.reserve(model_.detector_targets.size() +
                                      more * (model_.detector_targets.size() - start.detector_targets));
      model_.observable_targets.reserve(model_.observable_targets.size() +
                                        more * (model_.observable_targets.size() - start.observable_targets));
      model_.component_breaks.reserve(model_.component_breaks.size() +
                                      more * (model_.component_breaks.size() - start.component_breaks));
      for (uint64_t r = 1; r <= more; ++r) {
        if (Failure f = add_repetition(r, body_errors, replay_declarations)) return f;
      }
    }
    offset_ = add_saturating(start.offset, mul_saturating(count, body_offset_));
    for (size_t k = 0; k < 4; ++k)
      coord_shift_[k] = start.coord_shift[k] + static_cast<double>(count) * body_coord_shift_[k];
    return {};
  }

  Failure add_repetition(uint64_t r, size_t body_errors, bool replay_declarations) {
    const uint64_t delta = mul_saturating(r, body_offset_);
    Coords coord_delta;
    for (size_t k = 0; k < 4; ++k) coord_delta[k] = static_cast<double>(r) * body_coord_shift_[k];
    size_t next_error = 0;
    next_body_break_ = block_.component_breaks;
    auto copy_errors_until = [&](size_t end) -> Failure {
      for (; next_error < end; ++next_error)
        if (Failure f = copy_body_error(next_error, delta)) return f;
      return {};
    };
    if (replay_declarations) {
      for (const BodyDeclaration& d : body_declarations_) {
        if (Failure f = copy_errors_until(d.errors_before)) return f;
        Coords shift = d.coord_shift;
        for (size_t k = 0; k < 4; ++k) shift[k] += coord_delta[k];
        const uint64_t offset = add_saturating(d.offset, delta);
        // Offsets only grow, so tokens before the one taken stay out of range; when the taken
        // one leaves the range too, a later (smaller) token may still qualify.
        std::optional<uint32_t> index = shifted(d.raw_index, offset);
        if (!index) {
          uint32_t raw = 0;
          index = first_valid_target(d.text.targets, offset, raw);
          if (!index) return DemParseError::malformed_target(d.line);
        }
        if (Failure f = declare(*index, shifted_coords(d.text, shift), d.text.written)) return f;
      }
    }
    return copy_errors_until(body_errors);
  }

  Failure copy_body_error(size_t j, uint64_t delta) {
    const DetectorErrorModel::ErrorRecord source = model_.error_records[block_.errors + j];
    DetectorErrorModel::ErrorRecord copy;
    copy.probability = source.probability;
    copy.detectors_begin = static_cast<uint32_t>(model_.detector_targets.size());
    for (uint32_t k = source.detectors_begin; k < source.detectors_end; ++k) {
      const std::optional<uint32_t> index = shifted(model_.detector_targets[k], delta);
      if (!index) return DemParseError::malformed_target(written_body_target(j, k - source.detectors_begin));
      model_.detector_targets.push_back(*index);
      note_detector(*index);
    }
    copy.detectors_end = static_cast<uint32_t>(model_.detector_targets.size());
    copy.observables_begin = static_cast<uint32_t>(model_.observable_targets.size());
    for (uint32_t k = source.observables_begin; k < source.observables_end; ++k) {
      const uint8_t index = model_.observable_targets[k];
      model_.observable_targets.push_back(index);
    }
    copy.observables_end = static_cast<uint32_t>(model_.observable_targets.size());
    // The source's separators, moved to the copy's positions. Copies are appended after the
    // body's own breaks, so the body's range is fixed before the first copy.
    const auto error_index = static_cast<uint32_t>(block_.errors + j);
    for (; next_body_break_ < body_breaks_end_ && model_.component_breaks[next_body_break_].error == error_index;
         ++next_body_break_) {
      const ComponentBreak b = model_.component_breaks[next_body_break_];
      model_.component_breaks.push_back({static_cast<uint32_t>(model_.error_records.size()),
                                         b.detectors - source.detectors_begin + copy.detectors_begin,
                                         b.observables - source.observables_begin + copy.observables_begin});
    }
    model_.error_records.push_back(copy);
    return {};
  }

  // The text of the n-th detector target of the j-th error of the current body, as written.
  // Only needed for the message when a later repetition shifts that target out of range.
  std::string_view written_body_target(size_t j, size_t n) const {
    LineReader body(block_.body_text);
    std::string_view line;
    size_t errors_seen = 0;
    while (body.next(line)) {
      const std::optional<std::string_view> args = error_arguments(line);
      if (!args || errors_seen++ != j) continue;
      Tokens tokens(args->substr(args->find(')') + 1));
      std::string_view token;
      size_t detectors_seen = 0;
      while (tokens.next(token))
        if (token[0] == 'D' && detectors_seen++ == n) return token;
    }
    return {};
  }

  // Bounds the text a nested block is written out to before its lines are read.
  static constexpr uint64_t kMaxNestedText = uint64_t{1} << 28;

  std::string_view text_;
  LineReader lines_;
  uint32_t nesting_ = 0;  // nested repeat blocks being read
  // Where body lines come from: the text, or the written-out copies of a nested block.
  LineReader* reader_ = &lines_;
  // The written-out nested blocks: declarations keep views into them until the parse ends.
  std::deque<std::string> expansions_;
  uint64_t nested_text_ = 0;  // bytes of nested block text written out so far
  DemLimits limits_;
  DetectorErrorModel model_;
  struct RecentProbability {
    bool known = false;
    std::string_view text;
    double value = 0.0;
  };
  std::array<RecentProbability, 4> recent_probabilities_{};
  size_t next_recent_ = 0;
  IdSet declared_;
  uint64_t max_detector_plus_one_ = 0;
  uint64_t max_observable_plus_one_ = 0;
  // Running detector offset and coordinate shift, from shift_detectors.
  uint64_t offset_ = 0;
  Coords coord_shift_{0.0, 0.0, 0.0, 0.0};
  // The repeat block being read.
  bool in_body_ = false;
  BlockStart block_{};
  std::vector<BodyDeclaration> body_declarations_;
  uint64_t body_offset_ = 0;  // what one repetition of the body adds to the offset
  // The body's separators while its repetitions are copied.
  size_t next_body_break_ = 0;
  size_t body_breaks_end_ = 0;
  Coords body_coord_shift_{0.0, 0.0, 0.0, 0.0};
};

std::string quoted(std::string_view prefix, std::string_view text, std::string_view suffix) {
  std::string out;
  out.reserve(prefix.size() + text.size() + suffix.size());
  out.append(prefix).append(text).append(suffix);
  return out;
}

}  // namespace

namespace {

DemParseError make_error(DemParseErrorKind kind, std::string text, uint64_t limit = 0) {
  DemParseError error;
  error.kind = kind;
  error.text = std::move(text);
  error.limit = limit;
  return error;
}

}  // namespace

DemParseError DemParseError::invalid_probability(std::string_view text) {
  return make_error(DemParseErrorKind::InvalidProbability, std::string(text));
}
DemParseError DemParseError::malformed_target(std::string_view text) {
  return make_error(DemParseErrorKind::MalformedTarget, std::string(text));
}
DemParseError DemParseError::unterminated_repeat() {
  return make_error(DemParseErrorKind::UnterminatedRepeat, std::string());
}
DemParseError DemParseError::invalid_repeat_count(std::string_view token) {
  return make_error(DemParseErrorKind::InvalidRepeatCount, std::string(token));
}
DemParseError DemParseError::malformed_detector_coords(std::string_view line) {
  return make_error(DemParseErrorKind::MalformedDetectorCoords, std::string(line));
}
DemParseError DemParseError::unterminated_tag(std::string_view line) {
  return make_error(DemParseErrorKind::UnterminatedTag, std::string(line));
}
DemParseError DemParseError::model_too_large(std::string_view what, uint64_t limit) {
  return make_error(DemParseErrorKind::ModelTooLarge, std::string(what), limit);
}

std::string DemParseError::located_message() const {
  if (line_number == 0) return message();
  std::string out = "line " + std::to_string(line_number) + ": " + message();
  // A target's message shows only the token; the line shows where it stood.
  if (kind == DemParseErrorKind::MalformedTarget && line != text) out += quoted(" in '", line, "'");
  return out;
}

std::string DemParseError::message() const {
  switch (kind) {
    case DemParseErrorKind::InvalidProbability:
      return quoted("invalid probability '", text, "' in error instruction");
    case DemParseErrorKind::MalformedTarget:
      return quoted("malformed target '", text, "'");
    case DemParseErrorKind::UnterminatedRepeat:
      return "unterminated repeat block";
    case DemParseErrorKind::InvalidRepeatCount:
      return quoted("invalid repeat count '", text, "'");
    case DemParseErrorKind::MalformedDetectorCoords:
      return quoted("malformed detector coords '", text, "'");
    case DemParseErrorKind::UnterminatedTag:
      return quoted("unterminated tag in '", text, "'");
    case DemParseErrorKind::ModelTooLarge:
      return "detector error model too large: more than " + std::to_string(limit) + " " + text;
  }
  return "invalid detector error model";
}

Result<DetectorErrorModel, DemParseError> parse_dem(std::string_view text, const DemLimits& limits) {
  return Parser(text, limits).run();
}

}  // namespace ostrel::dem
