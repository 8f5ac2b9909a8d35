// Structuring: the enclosing of blocks, checked against a plain model of
// its steps on many short line sequences, well formed or not.
#include "exit_capture.h"
#include "i18n_zrm_msg.h"
#include "rod_text.h"
#include "rodprune.h"
#include "rodtrait.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

const bool catalog_ready = (catalog_fill(), true);

// A line of the model: its kind and whether its code is exactly two letters.
struct Token {
    LineKind kind;
    bool exact;
};

// The model's top level: a line, or a block shown as its elements in parentheses.
struct Node {
    std::string shape;
    int kind; // -1: a block
    bool exact;
};

std::string token_shape(const Token &token)
{
    return std::string(rod_keywords[token.kind].code) + (token.exact ? "" : "*");
}

// One step as the whole top level rewritten, as the steps were first
// written: a flat block ends at the first exact closing line after its
// opening line, paired blocks nest like parentheses. nullopt: the input
// ends the run (UNEXPTEOF).
std::optional<std::vector<Node>> model_step(const std::vector<Node> &nodes, LineKind opener, LineKind closer,
                                            bool paired)
{
    auto block = [](const std::vector<Node> &from, std::size_t first, std::size_t last) {
        std::string shape = "(";
        for (std::size_t at = first; at <= last; ++at)
            shape += (at == first ? "" : " ") + from[at].shape;
        return Node{shape + ")", -1, false};
    };
    std::vector<Node> out;
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (!paired && nodes[i].kind == opener) {
            std::size_t closing = i;
            while (closing < nodes.size() && !(nodes[closing].kind == closer && nodes[closing].exact))
                ++closing;
            if (closing == nodes.size())
                return std::nullopt;
            out.push_back(block(nodes, i, closing));
            i = closing;
        } else if (paired && nodes[i].kind == opener) {
            open.push_back(out.size());
            out.push_back(nodes[i]);
        } else if (paired && nodes[i].kind == closer) {
            if (open.empty())
                return std::nullopt;
            out.push_back(nodes[i]);
            const std::size_t start = open.back();
            open.pop_back();
            const Node made = block(out, start, out.size() - 1);
            out.resize(start);
            out.push_back(made);
        } else {
            out.push_back(nodes[i]);
        }
    }
    if (!open.empty())
        return std::nullopt;
    return out;
}

// The tree structure_lines makes of `tokens`, in the shape of rodtext's
// helpers, or nullopt for UNEXPTEOF.
std::optional<std::string> model_tree(const std::vector<Token> &tokens)
{
    struct Step {
        LineKind opener;
        LineKind closer;
        bool paired;
    };
    const Step steps[] = {
        {KIND_XX, KIND_TP, false}, {KIND_ER, KIND_TP, false}, {KIND_EX, KIND_TP, false},
        {KIND_XI, KIND_YI, true},  {KIND_DT, KIND_YT, true},  {KIND_XE, KIND_FE, true},
        {KIND_DS, KIND_FS, true},  {KIND_DB, KIND_BF, true},
    };
    std::vector<Node> nodes;
    for (const Token &token : tokens)
        nodes.push_back({token_shape(token), token.kind, token.exact});
    for (const Step &step : steps) {
        std::optional<std::vector<Node>> next = model_step(nodes, step.opener, step.closer, step.paired);
        if (!next)
            return std::nullopt;
        nodes = std::move(*next);
    }
    if (nodes.size() < 2)
        return std::nullopt;
    std::string middle = nodes.size() == 2 ? "_" : "(";
    for (std::size_t at = 1; at + 1 < nodes.size(); ++at)
        middle += (at == 1 ? "" : " ") + nodes[at].shape;
    if (nodes.size() > 2)
        middle += ")";
    return "(" + nodes.front().shape + ") " + middle + " (" + nodes.back().shape + ")";
}

// A line of the engine's tree named as the model names its token.
std::string token_name(LineId id)
{
    const Line &line = line_at(id);
    return token_shape({static_cast<LineKind>(line.kind), line.exact_code != 0});
}

std::optional<std::string> engine_tree(const std::vector<Token> &tokens)
{
    ScratchVector<LineId> lines;
    for (const Token &token : tokens) {
        const LineId id = line_new();
        line_at(id).kind = token.kind;
        line_at(id).exact_code = token.exact;
        lines.push_back(id);
    }
    std::string tree;
    const Ending ending = run_to_end([&] {
        tree = rodtext::chain_shape(structure_lines(std::move(lines)).tree, token_name);
    });
    model_release();
    if (ending.status == -1)
        return tree;
    EXPECT_EQ(ending.status, 7);
    EXPECT_NE(ending.err.find("UNEXPTEOF"), std::string::npos) << ending.err;
    return std::nullopt;
}

// A sequence of blocks, lines and nested blocks as a file would hold them.
std::vector<Token> well_formed_tokens(std::mt19937 &random, int depth = 0)
{
    static const LineKind flat[] = {KIND_XX, KIND_ER, KIND_EX};
    static const std::pair<LineKind, LineKind> paired[] = {
        {KIND_XI, KIND_YI}, {KIND_DT, KIND_YT}, {KIND_XE, KIND_FE}, {KIND_DS, KIND_FS}, {KIND_DB, KIND_BF}};
    std::vector<Token> tokens;
    for (unsigned count = random() % 4; count > 0; --count) {
        const unsigned choice = depth < 3 ? random() % 3 : 0;
        std::vector<Token> inner = choice ? well_formed_tokens(random, depth + 1) : std::vector<Token>{};
        if (choice == 0) {
            tokens.push_back({random() % 2 ? KIND_CH : KIND_TP, random() % 4 != 0});
        } else if (choice == 1) {
            tokens.push_back({flat[random() % std::size(flat)], true});
            tokens.insert(tokens.end(), inner.begin(), inner.end());
            tokens.push_back({KIND_TP, true});
        } else {
            const auto [opener, closer] = paired[random() % std::size(paired)];
            tokens.push_back({opener, true});
            tokens.insert(tokens.end(), inner.begin(), inner.end());
            tokens.push_back({closer, true});
        }
    }
    return tokens;
}

// Random lines, or a well-formed file with a few lines deleted, added,
// swapped or given a longer code.
std::vector<Token> some_tokens(std::mt19937 &random)
{
    static const LineKind kinds[] = {KIND_XX, KIND_ER, KIND_EX, KIND_TP, KIND_XI, KIND_YI, KIND_DT, KIND_YT,
                                     KIND_XE, KIND_FE, KIND_DS, KIND_FS, KIND_DB, KIND_BF, KIND_CH};
    std::vector<Token> tokens;
    if (random() % 4 == 0) {
        tokens.resize(random() % 14);
        for (Token &token : tokens)
            token = {kinds[random() % std::size(kinds)], random() % 6 != 0};
        return tokens;
    }
    tokens = well_formed_tokens(random);
    for (unsigned changes = random() % 3; changes > 0 && !tokens.empty(); --changes) {
        const std::size_t at = random() % tokens.size();
        switch (random() % 4) {
        case 0: tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(at)); break;
        case 1:
            tokens.insert(tokens.begin() + static_cast<std::ptrdiff_t>(at), {kinds[random() % std::size(kinds)], true});
            break;
        case 2: std::swap(tokens[at], tokens[random() % tokens.size()]); break;
        default: tokens[at].exact = !tokens[at].exact; break;
        }
    }
    return tokens;
}

TEST(Nesting, EnclosesBlocksAsTheModelDoes)
{
    std::mt19937 random(26);
    int well_formed = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::vector<Token> tokens = some_tokens(random);
        const std::optional<std::string> expected = model_tree(tokens);
        well_formed += expected.has_value();
        std::string input;
        for (const Token &token : tokens)
            input += token_shape(token) + " ";
        ASSERT_EQ(engine_tree(tokens), expected) << input;
    }
    // Enough of both kinds of input to mean something.
    EXPECT_GT(well_formed, 3000);
    EXPECT_LT(well_formed, 17000);
}

// Lines of every kind the closing runs and the blocks involve, as a file
// holds them: top-level blocks holding well-formed lines with runs (an
// opening line and its members) put in between; a few lines changed.
std::vector<Token> tokens_with_runs(std::mt19937 &random)
{
    static const std::vector<std::vector<LineKind>> runs = {
        {KIND_PP, KIND_PQ, KIND_PQ}, {KIND_DA, KIND_PA},          {KIND_EV, KIND_CH},
        {KIND_SN, KIND_CH},          {KIND_DW, KIND_DX, KIND_CH}, {KIND_CO, KIND_CO, KIND_DW, KIND_CH},
        {KIND_CO, KIND_SN, KIND_CH}, {KIND_RE, KIND_SC, KIND_IE}, {KIND_DX, KIND_CH}};
    static const std::pair<LineKind, LineKind> blocks[] = {
        {KIND_XI, KIND_YI}, {KIND_DT, KIND_YT}, {KIND_XE, KIND_FE}, {KIND_DS, KIND_FS}, {KIND_DB, KIND_BF}};
    std::vector<Token> tokens;
    for (unsigned count = 2 + random() % 6; count > 0; --count) {
        std::vector<Token> inner = well_formed_tokens(random, 1);
        for (unsigned added = random() % 3; added > 0; --added) {
            const std::vector<LineKind> &run = runs[random() % runs.size()];
            std::vector<Token> made;
            for (std::size_t member = 0; member < run.size() - random() % run.size(); ++member)
                made.push_back({run[member], true});
            inner.insert(inner.begin() + static_cast<std::ptrdiff_t>(random() % (inner.size() + 1)), made.begin(),
                         made.end());
        }
        const auto [opener, closer] = blocks[random() % std::size(blocks)];
        tokens.push_back({opener, true});
        tokens.insert(tokens.end(), inner.begin(), inner.end());
        tokens.push_back({closer, true});
    }
    if (random() % 3 == 0)
        tokens[random() % tokens.size()].exact = false;
    if (random() % 3 == 0)
        tokens.erase(tokens.begin() + static_cast<std::ptrdiff_t>(random() % tokens.size()));
    return tokens;
}

struct Structured {
    std::optional<std::string> shape; // nullopt: UNEXPTEOF
    bool in_parts = false;            // the tree holds cells made on two threads
};

// What a structuring of `tokens` cut at `cut` makes, as text: the tree,
// where its parts begin, the lines in order and the tree pruning leaves.
// Every third PP or DA line is selected.
Structured structured_with_cut(const std::vector<Token> &tokens, std::size_t cut)
{
    ScratchVector<LineId> lines;
    for (std::size_t at = 0; at < tokens.size(); ++at) {
        const LineId id = line_new();
        line_at(id).kind = tokens[at].kind;
        line_at(id).exact_code = tokens[at].exact;
        line_at(id).selects = at % 3 == 0;
        lines.push_back(id);
    }
    Structured result;
    const Ending ending = run_to_end([&] {
        StructuredFile structured = structure_lines(std::move(lines), cut);
        std::string shape = rodtext::chain_shape(structured.tree, token_name) + " | " +
                            std::to_string(structured.body_begin) + " " + std::to_string(structured.last_begin);
        for (LineId line : structured.lines)
            shape += " " + token_name(line);
        std::vector<CellId> chains{structured.tree};
        while (!chains.empty()) {
            CellId cell = chains.back();
            chains.pop_back();
            for (; cell; cell = cell_at(cell).next) {
                result.in_parts |= cell >> store_chunks::CELL_BITS != structured.tree >> store_chunks::CELL_BITS;
                if (is_list_item(cell_at(cell).item))
                    chains.push_back(list_of(cell_at(cell).item));
            }
        }
        prune_selection(structured.tree, structured.unselected, structured.lines.size());
        result.shape = shape + " | " + rodtext::chain_shape(structured.tree, token_name);
    });
    model_release();
    if (ending.status != -1) {
        EXPECT_NE(ending.err.find("UNEXPTEOF"), std::string::npos) << ending.err;
    }
    return result;
}

// A file structured in two parts on two threads comes out as in one,
// wherever it is cut; a run or block that spans the cut, or a fault, leaves
// it to the one structuring.
TEST(Structuring, InTwoPartsAsInOne)
{
    std::mt19937 random(2626);
    int joined = 0;
    for (int round = 0; round < 150; ++round) {
        const std::vector<Token> tokens = tokens_with_runs(random);
        const std::optional<std::string> whole = structured_with_cut(tokens, 0).shape;
        std::string input;
        for (const Token &token : tokens)
            input += token_shape(token) + " ";
        for (std::size_t cut = 1; cut < tokens.size(); ++cut) {
            const Structured parts = structured_with_cut(tokens, cut);
            ASSERT_EQ(parts.shape, whole) << input << "cut at " << cut;
            joined += parts.in_parts;
        }
    }
    EXPECT_GT(joined, 100);
}

} // namespace
