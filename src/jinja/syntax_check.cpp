#include "jinja/syntax_check.hpp"

#include <algorithm>
#include <initializer_list>
#include <unordered_set>
#include <utility>
#include <vector>

#include "jinja/syntax_lexer.hpp"

namespace trelm::jinja {
namespace {

// What an expression turned out to be, as far as the statements care:
// whether it can be assigned to, and whether it is a call.
enum class Shape : std::uint8_t {
  Bad,               // parsing failed
  Name,
  Const,             // a literal, true/false/none included
  Tuple,             // every item assignable
  UnassignableTuple,
  NamespaceRef,      // «ns.attr» on the left of a `set`
  Call,
  Other,
};

bool assignable(Shape s) { return s == Shape::Name || s == Shape::Tuple || s == Shape::NamespaceRef; }

bool is_constant_name(std::string_view n) {
  return n == "true" || n == "false" || n == "none" || n == "True" || n == "False" || n == "None";
}

// «`text`»; appended piecewise, which also keeps g++ 12 from a false
// -Wrestrict warning on the concatenation.
std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '`';
  out.append(text);
  out += '`';
  return out;
}

// Python's reserved words: a call with one as a keyword argument is passed
// its keywords as a dict by the engine, where a repeated one is no error.
bool is_python_keyword(std::string_view n) {
  static constexpr std::string_view kWords[] = {
      "False", "None",   "True",    "and",      "as",     "assert", "async", "await", "break",
      "class", "continue", "def",   "del",      "elif",   "else",   "except", "finally", "for",
      "from",  "global", "if",      "import",   "in",     "is",     "lambda", "nonlocal", "not",
      "or",    "pass",   "raise",   "return",   "try",    "while",  "with",  "yield"};
  return std::find(std::begin(kWords), std::end(kWords), n) != std::end(kWords);
}

std::string_view op_text(Op op) {
  switch (op) {
    case Op::Add: return "+";
    case Op::Sub: return "-";
    case Op::Div: return "/";
    case Op::FloorDiv: return "//";
    case Op::Mul: return "*";
    case Op::Mod: return "%";
    case Op::Pow: return "**";
    case Op::Tilde: return "~";
    case Op::LBracket: return "[";
    case Op::RBracket: return "]";
    case Op::LParen: return "(";
    case Op::RParen: return ")";
    case Op::LBrace: return "{";
    case Op::RBrace: return "}";
    case Op::Eq: return "==";
    case Op::Ne: return "!=";
    case Op::Gt: return ">";
    case Op::GtEq: return ">=";
    case Op::Lt: return "<";
    case Op::LtEq: return "<=";
    case Op::Assign: return "=";
    case Op::Dot: return ".";
    case Op::Colon: return ":";
    case Op::Pipe: return "|";
    case Op::Comma: return ",";
    case Op::Semicolon: return ";";
    case Op::None: break;
  }
  return "";
}

// Nesting deeper than this is refused rather than followed: each level
// costs a few native frames.
constexpr int kMaxDepth = 300;

class Parser {
 public:
  Parser(std::string_view text, std::size_t from, Closer closer) : s_(text), lexer_(text, from, closer), closer_(closer) {
    tokens_.push_back(lexer_.next());
  }

  const std::optional<SyntaxProblem>& problem() const { return problem_; }
  const std::optional<SyntaxProblem>& compile_problem() const { return compile_problem_; }
  bool failed() const { return problem_.has_value(); }

  // ---- statements -------------------------------------------------------

  TagCheck statement() {
    TagCheck out;
    if (!is(SyntaxKind::Name)) {
      fail("expected a tag name, got " + describe(cur()));
      out.problem = problem_;
      return out;
    }
    const std::string name(text(cur()));
    out.name = name;
    if (name == "if" || name == "elif") {
      next();
      tuple(false, false, false, false);
      statement_body_start();
      out.role = name == "if" ? TagRole::Opens : TagRole::Elif;
    } else if (name == "else") {
      next();
      statement_body_start();
      out.role = TagRole::Else;
    } else if (name == "for") {
      next();
      for_statement();
      out.role = TagRole::Opens;
    } else if (name == "set") {
      next();
      out.role = set_statement() ? TagRole::Opens : TagRole::Plain;
    } else if (name == "block") {
      next();
      out.label = block_statement();
      out.role = TagRole::Opens;
    } else if (name == "macro") {
      next();
      assign_name();
      signature();
      statement_body_start();
      out.role = TagRole::Opens;
    } else if (name == "call") {
      next();
      if (is_op(Op::LParen)) signature();
      const std::size_t at = pos_;
      const Shape s = expression(true);
      if (!failed() && s != Shape::Call) fail_at(at, "expected a call after `call`");
      // The block is passed to its call as the keyword `caller`.
      if (!failed() && last_call_.caller_at != 0 && !last_call_.python_keyword) {
        compile_fail_at(last_call_.caller_at, "keyword argument `caller` is repeated: the `call` block passes it");
      }
      statement_body_start();
      out.role = TagRole::Opens;
    } else if (name == "filter") {
      next();
      filters(true);
      statement_body_start();
      out.role = TagRole::Opens;
    } else if (name == "with") {
      next();
      with_statement();
      out.role = TagRole::Opens;
    } else if (name == "autoescape") {
      next();
      expression(true);
      statement_body_start();
      out.role = TagRole::Opens;
    } else if (name == "extends") {
      next();
      expression(true);
      expect_end();
    } else if (name == "include") {
      next();
      expression(true);
      if (is_name("ignore") && look_is_name("missing")) skip(2);
      import_context();
      expect_end();
    } else if (name == "import") {
      next();
      expression(true);
      expect_name("as");
      assign_name();
      import_context();
      expect_end();
    } else if (name == "from") {
      next();
      from_statement();
    } else if (name == "print") {
      next();
      for (bool first = true; !failed() && !is(SyntaxKind::End); first = false) {
        if (!first) expect_op(Op::Comma);
        expression(true);
      }
      expect_end();
    } else if (name == "do") {
      next();
      tuple(false, true, false, false);
      expect_end();
    } else if (name == "break" || name == "continue") {
      next();
      expect_end();
    } else if (name == "raw") {
      fail("`raw` takes nothing after it: `{% raw %}`");
    } else if (name.starts_with("end")) {
      next();
      out.role = TagRole::Closes;
      out.name = name.substr(3);
      if (out.name == "block" && is(SyntaxKind::Name)) {
        out.label = std::string(text(cur()));
        next();
      }
      if (is_known_block(out.name)) {
        expect_end();
      } else if (!is_known_statement(out.name)) {
        out.role = TagRole::Extension;
        out.name = name;
        return out;  // an extension's end tag: its content is its own business
      }
    } else {
      out.role = TagRole::Extension;
      return out;
    }
    out.problem = problem_;
    if (!problem_) out.compile_problem = compile_problem_;
    out.required = required_;
    out.assigns_loop = assigns_loop_;
    return out;
  }

  // A whole «{{ ... }}» tag: an expression or a bare tuple.
  void output() {
    tuple(false, true, false, false);
    expect_end();
  }

  // A bare expression with nothing after it.
  void lone_expression() {
    expression(true);
    expect_end();
  }

  static bool is_known_block(std::string_view n) {
    for (std::string_view b : {"if", "for", "set", "block", "macro", "call", "filter", "with", "autoescape"}) {
      if (n == b) return true;
    }
    return false;
  }

  static bool is_known_statement(std::string_view n) {
    if (is_known_block(n)) return true;
    for (std::string_view b :
         {"elif", "else", "extends", "include", "import", "from", "print", "do", "break", "continue", "raw"}) {
      if (n == b) return true;
    }
    return false;
  }

 private:
  // ---- tokens -----------------------------------------------------------

  // Tokens are lexed as the parse reaches them, and kept: a failure may
  // point back at an earlier one.
  const SyntaxToken& cur() const { return tokens_[pos_]; }
  const SyntaxToken& look() {
    if (pos_ + 1 == tokens_.size()) tokens_.push_back(lexer_.next());
    return tokens_[pos_ + 1];
  }
  void next() {
    look();
    ++pos_;
  }
  void skip(int n) {
    for (int i = 0; i < n; ++i) next();
  }
  std::string_view text(const SyntaxToken& t) const { return s_.substr(t.start, t.end - t.start); }
  bool is(SyntaxKind k) const { return cur().kind == k; }
  bool is_op(Op op) const { return cur().kind == SyntaxKind::Operator && cur().op == op; }
  bool is_name(std::string_view n) const { return cur().kind == SyntaxKind::Name && text(cur()) == n; }
  bool look_is_name(std::string_view n) { return look().kind == SyntaxKind::Name && text(look()) == n; }
  // The end of a tag, or of a bare expression.
  bool is_end() const { return is(SyntaxKind::End) || (closer_ == Closer::None && is(SyntaxKind::Eof)); }

  std::string describe(const SyntaxToken& t) const {
    switch (t.kind) {
      case SyntaxKind::End:
        return "the end of the tag";
      case SyntaxKind::Eof:
        return closer_ == Closer::None ? "the end of the expression" : "the end of the text";
      case SyntaxKind::Error:
        return "an invalid token";
      default:
        return quoted(text(t));
    }
  }

  void fail_at(std::size_t index, std::string message) {
    if (failed()) return;
    const SyntaxToken& t = tokens_[index];
    // A parse that reaches the lexer's stopping point fails for the lexer's reason.
    if (t.kind == SyntaxKind::Error) message = lexer_.error();
    problem_ = SyntaxProblem{t.start, t.end, std::move(message)};
  }
  void fail(std::string message) { fail_at(pos_, std::move(message)); }
  // The first problem of the compiled tag; parsing goes on, for a parse
  // problem after it comes first.
  void compile_fail_at(std::size_t index, std::string message) {
    if (compile_problem_) return;
    const SyntaxToken& t = tokens_[index];
    compile_problem_ = SyntaxProblem{t.start, t.end, std::move(message)};
  }

  void expect_op(Op op) {
    if (failed()) return;
    if (!is_op(op)) {
      fail("expected `" + std::string(op_text(op)) + "`, got " + describe(cur()));
      return;
    }
    next();
  }
  void expect_name(std::string_view n) {
    if (failed()) return;
    if (!is_name(n)) {
      fail("expected `" + std::string(n) + "`, got " + describe(cur()));
      return;
    }
    next();
  }
  std::string_view expect_any_name() {
    if (failed()) return {};
    if (!is(SyntaxKind::Name)) {
      fail("expected a name, got " + describe(cur()));
      return {};
    }
    const std::string_view n = text(cur());
    next();
    return n;
  }
  void expect_end() {
    if (failed()) return;
    if (!is_end()) fail("expected " + std::string(closer_ == Closer::None ? "the end of the expression" : "the end of the tag") +
                        ", got " + describe(cur()));
  }
  // Before a block's body: an optional ":" and the end of the tag.
  void statement_body_start() {
    if (failed()) return;
    if (is_op(Op::Colon)) next();
    expect_end();
  }

  // ---- statement parts --------------------------------------------------

  void for_statement() {
    const std::size_t at = pos_;
    const Shape target = tuple(true, true, false, false);
    check_assignable(target, at);
    note_loop_target(at);
    expect_name("in");
    if (failed()) return;
    tuple(false, false, false, false);
    if (failed()) return;
    if (is_name("if")) {
      next();
      expression(true);
    }
    if (failed()) return;
    if (is_name("recursive")) next();
    statement_body_start();
  }

  // True when this `set` opens a block: «{% set x %}...{% endset %}».
  bool set_statement() {
    const std::size_t at = pos_;
    const Shape target = tuple(true, true, false, true);
    check_assignable(target, at);
    if (failed()) return false;
    note_loop_target(at);
    if (is_op(Op::Assign)) {
      next();
      tuple(false, true, false, false);
      expect_end();
      return false;
    }
    filters(false);
    statement_body_start();
    return true;
  }

  std::string block_statement() {
    const std::string label(expect_any_name());
    if (failed()) return label;
    if (is_name("scoped")) next();
    if (is_name("required")) {
      next();
      required_ = true;
    }
    if (is_op(Op::Sub)) {
      fail("block names may not contain `-`; use `_` instead");
      return label;
    }
    statement_body_start();
    return label;
  }

  void with_statement() {
    for (bool first = true; !failed() && !is(SyntaxKind::End); first = false) {
      if (!first) expect_op(Op::Comma);
      const std::size_t at = pos_;
      const Shape target = tuple(true, true, false, false);
      check_assignable(target, at);
      expect_op(Op::Assign);
      expression(true);
    }
    statement_body_start();
  }

  bool context_clause() {
    if ((is_name("with") || is_name("without")) && look_is_name("context")) {
      skip(2);
      return true;
    }
    return false;
  }

  void import_context() {
    if (!failed()) context_clause();
  }

  void from_statement() {
    expression(true);
    expect_name("import");
    for (bool first = true; !failed(); first = false) {
      if (!first) expect_op(Op::Comma);
      if (failed()) return;
      if (!is(SyntaxKind::Name)) {
        expect_any_name();
        return;
      }
      if (context_clause()) break;
      const std::size_t at = pos_;
      const std::string_view imported = assign_name();
      if (failed()) return;
      if (imported.starts_with("_")) {
        fail_at(at, "names starting with an underscore cannot be imported");
        return;
      }
      if (is_name("as")) {
        next();
        assign_name();
      }
      if (failed()) return;
      if (context_clause() || !is_op(Op::Comma)) break;
    }
    expect_end();
  }

  // A name that may be assigned to (not true, none and the like).
  std::string_view assign_name() {
    const std::size_t at = pos_;
    const std::string_view n = expect_any_name();
    if (!failed() && is_constant_name(n)) fail_at(at, "cannot assign to `" + std::string(n) + "`");
    return n;
  }

  void check_assignable(Shape s, std::size_t at) {
    if (!failed() && !assignable(s)) fail_at(at, "cannot assign to this expression");
  }

  // Whether the target read from token `from` on assigns the name `loop`
  // (not an attribute of it): inside a loop the engine refuses that.
  void note_loop_target(std::size_t from) {
    if (failed()) return;
    const auto is_dot = [this](std::size_t i) {
      return tokens_[i].kind == SyntaxKind::Operator && tokens_[i].op == Op::Dot;
    };
    for (std::size_t i = from; i < pos_; ++i) {
      const bool dotted = is_dot(i + 1) || (i > from && is_dot(i - 1));  // «loop.x» or «ns.loop»
      if (tokens_[i].kind == SyntaxKind::Name && text(tokens_[i]) == "loop" && !dotted) assigns_loop_ = true;
    }
  }

  // «(a, b=1)» after `macro` and `call`: names, defaults last.
  void signature() {
    expect_op(Op::LParen);
    bool defaults = false;
    std::unordered_set<std::string_view> names;
    for (bool first = true; !failed() && !is_op(Op::RParen); first = false) {
      if (!first) expect_op(Op::Comma);
      const std::size_t at = pos_;
      const std::string_view n = assign_name();
      if (failed()) return;
      if (!names.insert(n).second) compile_fail_at(at, "parameter `" + std::string(n) + "` is named twice");
      if (is_op(Op::Assign)) {
        next();
        expression(true);
        defaults = true;
      } else if (defaults) {
        fail("a parameter without a default follows one with a default");
      }
    }
    expect_op(Op::RParen);
  }

  // ---- expressions ------------------------------------------------------

  // The keyword arguments of a call, as far as a `call` block cares.
  struct CallKeywords {
    std::size_t caller_at = 0;    // the token index of a `caller=`, or 0
    bool python_keyword = false;  // a keyword is a Python reserved word
  };

  // Counts nesting; refuses past kMaxDepth.
  class Deeper {
   public:
    explicit Deeper(Parser& p) : p_(p) {
      if (++p_.depth_ > kMaxDepth) p_.fail("expression nested too deeply");
    }
    ~Deeper() { --p_.depth_; }
    Deeper(const Deeper&) = delete;
    Deeper& operator=(const Deeper&) = delete;

   private:
    Parser& p_;
  };

  // Only the end of the tag and ")" end a tuple. The engine means to let
  // `in` end the target of a `for` and `recursive` its iterable, but its
  // check of those names never matches, so «for x, in y» reads `in` as a
  // second target and fails; the checker answers as the engine does.
  bool is_tuple_end() const { return is_end() || is_op(Op::RParen); }

  // Expressions separated by commas; a tuple when there is a comma. In
  // `simplified` form (assignment targets) the items are primaries.
  Shape tuple(bool simplified, bool with_condexpr, bool explicit_parentheses, bool with_namespace) {
    Deeper guard(*this);
    if (failed()) return Shape::Bad;
    std::size_t count = 0;
    bool is_tuple = false;
    bool all_assignable = true;
    Shape single = Shape::Bad;
    while (true) {
      if (count > 0) expect_op(Op::Comma);
      if (failed()) return Shape::Bad;
      if (is_tuple_end()) break;
      const Shape s = simplified ? primary(with_namespace) : expression(with_condexpr);
      if (failed()) return Shape::Bad;
      ++count;
      single = s;
      all_assignable = all_assignable && assignable(s);
      if (is_op(Op::Comma)) {
        is_tuple = true;
      } else {
        break;
      }
    }
    if (!is_tuple) {
      if (count > 0) return single;
      if (!explicit_parentheses) {
        fail("expected an expression, got " + describe(cur()));
        return Shape::Bad;
      }
    }
    return all_assignable ? Shape::Tuple : Shape::UnassignableTuple;
  }

  Shape expression(bool with_condexpr) { return with_condexpr ? condexpr() : or_expr(); }

  Shape condexpr() {
    Deeper guard(*this);
    Shape s = or_expr();
    while (!failed() && is_name("if")) {
      next();
      or_expr();
      if (failed()) return Shape::Bad;
      if (is_name("else")) {
        next();
        condexpr();
      }
      s = Shape::Other;
    }
    return failed() ? Shape::Bad : s;
  }

  template <typename Sub, typename Continues>
  Shape binary(Sub sub, Continues continues) {
    Shape s = (this->*sub)();
    while (!failed() && continues()) {
      next();
      (this->*sub)();
      s = Shape::Other;
    }
    return failed() ? Shape::Bad : s;
  }

  Shape or_expr() { return binary(&Parser::and_expr, [this] { return is_name("or"); }); }
  Shape and_expr() { return binary(&Parser::not_expr, [this] { return is_name("and"); }); }

  Shape not_expr() {
    Deeper guard(*this);
    if (failed()) return Shape::Bad;
    if (is_name("not")) {
      next();
      not_expr();
      return failed() ? Shape::Bad : Shape::Other;
    }
    return compare();
  }

  bool is_comparison() const {
    if (cur().kind != SyntaxKind::Operator) return false;
    const Op op = cur().op;
    return op == Op::Eq || op == Op::Ne || op == Op::Lt || op == Op::LtEq || op == Op::Gt || op == Op::GtEq;
  }

  Shape compare() {
    Shape s = math1();
    while (!failed()) {
      if (is_comparison() || is_name("in")) {
        next();
      } else if (is_name("not") && look_is_name("in")) {
        skip(2);
      } else {
        break;
      }
      math1();
      s = Shape::Other;
    }
    return failed() ? Shape::Bad : s;
  }

  Shape math1() { return binary(&Parser::concat, [this] { return is_op(Op::Add) || is_op(Op::Sub); }); }
  Shape concat() { return binary(&Parser::math2, [this] { return is_op(Op::Tilde); }); }
  Shape math2() {
    return binary(&Parser::power, [this] {
      return is_op(Op::Mul) || is_op(Op::Div) || is_op(Op::FloorDiv) || is_op(Op::Mod);
    });
  }
  Shape power() { return binary(&Parser::unary_filtered, [this] { return is_op(Op::Pow); }); }
  Shape unary_filtered() { return unary(true); }

  Shape unary(bool with_filter) {
    Deeper guard(*this);
    if (failed()) return Shape::Bad;
    Shape s;
    if (is_op(Op::Sub) || is_op(Op::Add)) {
      next();
      unary(false);
      s = Shape::Other;
    } else {
      s = primary(false);
    }
    if (failed()) return Shape::Bad;
    s = postfix(s);
    if (with_filter) s = filter_expr(s);
    return failed() ? Shape::Bad : s;
  }

  Shape primary(bool with_namespace) {
    if (failed()) return Shape::Bad;
    const SyntaxToken t = cur();  // a copy: lexing on may move the tokens
    switch (t.kind) {
      case SyntaxKind::Name: {
        const std::string_view n = text(t);
        next();
        if (is_constant_name(n)) return Shape::Const;
        if (with_namespace && is_op(Op::Dot)) {
          next();
          expect_any_name();
          return failed() ? Shape::Bad : Shape::NamespaceRef;
        }
        return Shape::Name;
      }
      case SyntaxKind::String:
        // Adjacent strings are one literal.
        while (is(SyntaxKind::String)) next();
        return Shape::Const;
      case SyntaxKind::Integer:
      case SyntaxKind::Float:
        next();
        return Shape::Const;
      case SyntaxKind::Operator:
        if (t.op == Op::LParen) {
          next();
          const Shape s = tuple(false, true, true, false);
          expect_op(Op::RParen);
          return failed() ? Shape::Bad : s;
        }
        if (t.op == Op::LBracket) return list();
        if (t.op == Op::LBrace) return dict();
        break;
      default:
        break;
    }
    fail("expected an expression, got " + describe(t));
    return Shape::Bad;
  }

  Shape list() {
    Deeper guard(*this);
    next();
    for (bool first = true; !failed() && !is_op(Op::RBracket); first = false) {
      if (!first) expect_op(Op::Comma);
      if (failed() || is_op(Op::RBracket)) break;
      expression(true);
    }
    expect_op(Op::RBracket);
    return failed() ? Shape::Bad : Shape::Other;
  }

  Shape dict() {
    Deeper guard(*this);
    next();
    for (bool first = true; !failed() && !is_op(Op::RBrace); first = false) {
      if (!first) expect_op(Op::Comma);
      if (failed() || is_op(Op::RBrace)) break;
      expression(true);
      expect_op(Op::Colon);
      expression(true);
    }
    expect_op(Op::RBrace);
    return failed() ? Shape::Bad : Shape::Other;
  }

  Shape postfix(Shape s) {
    while (!failed()) {
      if (is_op(Op::Dot) || is_op(Op::LBracket)) {
        subscript();
        s = Shape::Other;
      } else if (is_op(Op::LParen)) {
        call_args();
        s = Shape::Call;
      } else {
        break;
      }
    }
    return failed() ? Shape::Bad : s;
  }

  Shape filter_expr(Shape s) {
    while (!failed()) {
      if (is_op(Op::Pipe)) {
        filters(false);
        s = Shape::Other;
      } else if (is_name("is")) {
        test();
        s = Shape::Other;
      } else if (is_op(Op::LParen)) {
        call_args();
        s = Shape::Call;
      } else {
        break;
      }
    }
    return failed() ? Shape::Bad : s;
  }

  void subscript() {
    Deeper guard(*this);
    if (failed()) return;
    if (is_op(Op::Dot)) {
      next();
      if (is(SyntaxKind::Name) || is(SyntaxKind::Integer)) {
        next();
      } else {
        fail("expected a name or a number after `.`, got " + describe(cur()));
      }
      return;
    }
    next();  // "["
    for (bool first = true; !failed() && !is_op(Op::RBracket); first = false) {
      if (!first) expect_op(Op::Comma);
      subscribed();
    }
    expect_op(Op::RBracket);
  }

  // An index or a slice «a:b:c», any part left out.
  void subscribed() {
    if (failed()) return;
    if (is_op(Op::Colon)) {
      next();
    } else {
      expression(true);
      if (failed() || !is_op(Op::Colon)) return;
      next();
    }
    if (failed()) return;
    if (!is_op(Op::Colon) && !is_op(Op::RBracket) && !is_op(Op::Comma)) expression(true);
    if (failed()) return;
    if (is_op(Op::Colon)) {
      next();
      if (!is_op(Op::RBracket) && !is_op(Op::Comma)) expression(true);
    }
  }

  // «( ... )» of a call, filter or test: positional arguments, then
  // keywords; one *args and one **kwargs; a trailing comma.
  void call_args() {
    Deeper guard(*this);
    if (failed()) return;
    const std::size_t open = pos_;
    expect_op(Op::LParen);
    bool has_args = false, has_kwargs = false, has_keywords = false, require_comma = false;
    CallKeywords call;
    std::unordered_set<std::string_view> keywords;
    std::size_t repeated = 0;  // the first keyword named again, as a token index
    const auto ensure = [&](bool ok) {
      if (!ok) fail_at(open, "invalid argument order in a call");
    };
    while (!failed() && !is_op(Op::RParen)) {
      if (require_comma) {
        expect_op(Op::Comma);
        if (failed() || is_op(Op::RParen)) break;
      }
      if (is_op(Op::Mul)) {
        ensure(!has_args && !has_kwargs);
        next();
        expression(true);
        has_args = true;
      } else if (is_op(Op::Pow)) {
        ensure(!has_kwargs);
        next();
        expression(true);
        has_kwargs = true;
      } else if (is(SyntaxKind::Name) && look().kind == SyntaxKind::Operator && look().op == Op::Assign) {
        ensure(!has_kwargs);
        const std::string_view key = text(cur());
        if (!keywords.insert(key).second && repeated == 0) repeated = pos_;
        if (key == "caller" && call.caller_at == 0) call.caller_at = pos_;
        call.python_keyword = call.python_keyword || is_python_keyword(key);
        skip(2);
        expression(true);
        has_keywords = true;
      } else {
        ensure(!has_args && !has_kwargs && !has_keywords);
        expression(true);
      }
      require_comma = true;
    }
    expect_op(Op::RParen);
    // The engine's generated code refuses a repeated keyword when it compiles.
    if (!failed() && repeated != 0 && !call.python_keyword) {
      compile_fail_at(repeated, "keyword argument `" + std::string(text(tokens_[repeated])) + "` is repeated");
    }
    last_call_ = call;
  }

  // «| name.part(args)» filters; `inline` for the `filter` tag, whose
  // first filter has no "|".
  void filters(bool start_inline) {
    while (!failed() && (is_op(Op::Pipe) || start_inline)) {
      if (!start_inline) next();
      start_inline = false;
      dotted_name();
      if (!failed() && is_op(Op::LParen)) call_args();
    }
  }

  void dotted_name() {
    expect_any_name();
    while (!failed() && is_op(Op::Dot)) {
      next();
      expect_any_name();
    }
  }

  // «is [not] name», then arguments in parentheses or one bare argument.
  void test() {
    Deeper guard(*this);
    next();  // "is"
    if (is_name("not")) next();
    dotted_name();
    if (failed()) return;
    if (is_op(Op::LParen)) {
      call_args();
      return;
    }
    const bool starts_argument = is(SyntaxKind::Name) || is(SyntaxKind::String) || is(SyntaxKind::Integer) ||
                                 is(SyntaxKind::Float) || is_op(Op::LParen) || is_op(Op::LBracket) ||
                                 is_op(Op::LBrace);
    if (!starts_argument || is_name("else") || is_name("or") || is_name("and")) return;
    if (is_name("is")) {
      fail("tests cannot be chained with `is`");
      return;
    }
    postfix(primary(false));
  }

  std::string_view s_;
  TagLexer lexer_;
  std::vector<SyntaxToken> tokens_;
  Closer closer_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  std::optional<SyntaxProblem> problem_;
  std::optional<SyntaxProblem> compile_problem_;
  CallKeywords last_call_;  // of the call whose arguments were read last
  bool required_ = false;
  bool assigns_loop_ = false;
};

bool is_blank_or_sign(char c) { return c == '-' || c == '+'; }

}  // namespace

TagCheck check_tag(std::string_view tag) {
  TagCheck out;
  if (tag.size() < 2 || tag[0] != '{' || (tag[1] != '{' && tag[1] != '%')) {
    out.problem = SyntaxProblem{0, tag.size(), "not a Jinja tag"};
    return out;
  }
  const Closer closer = tag[1] == '{' ? Closer::Expression : Closer::Statement;
  const std::size_t from = tag.size() > 2 && is_blank_or_sign(tag[2]) ? 3 : 2;
  Parser parser(tag, from, closer);
  if (closer == Closer::Expression) {
    parser.output();
    out.problem = parser.problem();
    if (!out.problem) out.compile_problem = parser.compile_problem();
    return out;
  }
  return parser.statement();
}

std::optional<SyntaxProblem> check_expression(std::string_view source) {
  Parser parser(source, 0, Closer::None);
  parser.lone_expression();
  return parser.problem() ? parser.problem() : parser.compile_problem();
}

}  // namespace trelm::jinja
