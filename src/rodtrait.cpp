#include "rodtrait.h"

#include "cstsyst.h"
#include "i18nerrgest.h"
#include "rodadnam.h"
#include "rodbase.h"

#include <QString>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <system_error>
#include <thread>

namespace {

[[noreturn]] void unexpected_end() { report_fatal("UNEXPTEOF", QString(), QString()); }

constexpr uint32_t NONE = UINT32_MAX;

// The flat list while runs are closed: a chain of nodes over the file's
// lines, node 0 being the work root that gives every line a predecessor.
struct FlatChain {
    // A node's kind and marks (EXACT_CODE, SELECTS) side by side: for a big
    // file's part one array of a megabyte or more, which takes a huge page
    // where two halves would take a page fault per 4 KB.
    struct Code {
        uint8_t kind;
        uint8_t marks;
    };
    ScratchVector<LineId> line;
    ScratchVector<uint32_t> next; // 0: end of the chain
    ScratchVector<Code> code;
    // How many of the read lines have each kind with an exact code (by the
    // byte that holds it).
    std::array<uint32_t, 256> exact_kinds{};
    // The chain is the front part of a file's lines: its last line is not
    // the file's, and a run may end before it.
    bool continues = false;

    // Takes the list as its lines (the scan's has room to spare: fresh
    // memory costs more than moving the list by one place).
    FlatChain(ScratchVector<LineId> &&lines, bool front_part) : line(std::move(lines)), continues(front_part)
    {
        const std::size_t room = room_for(line.size());
        line.reserve(room);
        line.insert(line.begin(), 0);
        next.reserve(room);
        code.reserve(room);
        next.resize(line.size());
        code.push_back({0xFF, 0});
        for (uint32_t node = 1; node < line.size(); ++node) {
            next[node - 1] = node;
            const Code read = code_of(line[node]);
            code.push_back(read);
            exact_kinds[read.kind] += read.marks & EXACT_CODE;
        }
    }
    uint32_t add(LineId id)
    {
        line.push_back(id);
        next.push_back(0);
        code.push_back(code_of(id));
        return static_cast<uint32_t>(line.size() - 1);
    }
    bool is_last(uint32_t node) const { return next[node] == 0; }
    // Room for the closing lines the steps add to `lines` read lines, mostly.
    static std::size_t room_for(std::size_t lines) { return lines + lines / 2 + 2; }
    static constexpr uint8_t EXACT_CODE = 1;
    static constexpr uint8_t SELECTS = 2;
    static Code code_of(LineId id)
    {
        const Line &record = line_at(id);
        return {record.kind, static_cast<uint8_t>(record.exact_code * EXACT_CODE + record.selects * SELECTS)};
    }
    uint8_t kind(uint32_t node) const { return code[node].kind; }
    bool exact(uint32_t node) const { return code[node].marks & EXACT_CODE; }
    bool selects(uint32_t node) const { return code[node].marks & SELECTS; }
    bool code_in(uint32_t node, const KindSet &set) const { return exact(node) && set.has(kind(node)); }
    void insert_after(uint32_t node, LineId id)
    {
        const uint32_t added = add(id);
        next[added] = next[node];
        next[node] = added;
    }
};

enum class Closing { Line, Fw, Comments };

struct ClosingStep {
    LineKind opener;
    KindSet members;
    Closing closing;
    LineKind closer;
};

const ClosingStep CLOSING_STEPS[] = {
    {KIND_PP, {KIND_PQ, KIND_TP}, Closing::Line, KIND_FQ},
    {KIND_DA, {KIND_PA}, Closing::Line, KIND_FA},
    {KIND_EV, {KIND_CH}, Closing::Line, KIND_FV},
    {KIND_DX, {KIND_CH}, Closing::Line, KIND_FX},
    {KIND_SN, {KIND_CH}, Closing::Line, KIND_FN},
    {KIND_DW, {KIND_DX, KIND_FX, KIND_CH}, Closing::Line, KIND_FF},
    {KIND_DW, {KIND_DX, KIND_FX, KIND_FF, KIND_EV, KIND_FV, KIND_CH}, Closing::Fw, KIND_FW},
    {KIND_CO, {KIND_CO}, Closing::Comments, KIND_FO},
    {KIND_RE,
     {KIND_SC, KIND_IT, KIND_DE, KIND_PR, KIND_PE, KIND_RU, KIND_SY, KIND_PO, KIND_IE, KIND_CF},
     Closing::Line,
     KIND_FR},
};

// The read lines whose code is exactly an opening code, by kind, in file
// order. Read lines keep their order in the chain and no made line opens a
// run, so a step goes from opening line to opening line instead of walking
// the whole chain.
struct Openings {
    std::array<ScratchVector<uint32_t>, ROD_KEYWORD_COUNT> nodes;

    explicit Openings(const FlatChain &chain)
    {
        KindSet opening_kinds{};
        for (const ClosingStep &step : CLOSING_STEPS)
            opening_kinds.bits |= KindSet{step.opener}.bits;
        const auto read_lines = static_cast<uint32_t>(chain.line.size());
        const auto opening = [&](uint32_t node) { return chain.exact(node) && opening_kinds.has(chain.kind(node)); };
        // Reserved by the chain's counts: a big file's lists would otherwise
        // grow into fresh room several times over.
        for (std::size_t kind = 0; kind < nodes.size(); ++kind)
            if (opening_kinds.has(static_cast<int>(kind)))
                nodes[kind].reserve(chain.exact_kinds[kind]);
        for (uint32_t node = 1; node < read_lines; ++node)
            if (opening(node))
                nodes[chain.kind(node)].push_back(node);
    }
};

// The opening lines of one kind a step has still ahead, in chain order.
class OpeningsAhead {
public:
    OpeningsAhead(const Openings &openings, LineKind kind) : nodes_(openings.nodes[kind]) {}
    bool empty() const { return next_ == nodes_.size(); }
    uint32_t take() { return nodes_[next_++]; }
    // Passes over `node` when it is the next one: an opening line that is a
    // member of the run being walked.
    void pass(uint32_t node)
    {
        if (!empty() && nodes_[next_] == node)
            ++next_;
    }
    // Passes over those before the read line `node`.
    void skip_before(uint32_t node)
    {
        const auto from = nodes_.begin() + static_cast<std::ptrdiff_t>(next_);
        next_ = static_cast<std::size_t>(std::lower_bound(from, nodes_.end(), node) - nodes_.begin());
    }

private:
    const ScratchVector<uint32_t> &nodes_;
    std::size_t next_ = 0;
};

// From `node` along the chain, over lines whose code is in `set` (passing
// them in `ahead`): the node before the first line that is not; the last
// node when the walk reaches it (that node is not tested, but for the front
// part of a file, where a line that is not in the set still ends the run);
// NONE when `node` is none or itself not in the set.
uint32_t find_run_end(const FlatChain &chain, uint32_t node, const KindSet &set, OpeningsAhead &ahead)
{
    if (!node)
        return NONE;
    uint32_t previous = NONE;
    uint32_t current = node;
    for (; !chain.is_last(current); previous = current, current = chain.next[current]) {
        if (!chain.code_in(current, set))
            return previous;
        ahead.pass(current);
    }
    if (chain.continues && !chain.code_in(current, set))
        return previous;
    return current;
}

// FW repeats the opening DW line with fields 3 and 5 raised by field 4.
LineId fw_line(LineId dw)
{
    const LineId fw = line_copy(dw);
    Line &line = line_at(fw);
    line.kind = KIND_FW;
    line.exact_code = 1;
    const uint32_t duration = static_cast<uint32_t>(line_number_field(fw, 4));
    line_set_number_field(fw, 3, static_cast<int32_t>(static_cast<uint32_t>(line_number_field(fw, 3)) + duration));
    line_set_number_field(fw, 5, static_cast<int32_t>(static_cast<uint32_t>(line_number_field(fw, 5)) + duration));
    return fw;
}

void close_runs_from(FlatChain &chain, const Openings &openings, uint32_t before, int limit, const ClosingStep &step);

// A comment run and the DW or SN run after it are closed by one FO line.
const ClosingStep COMMENTED_DW_STEP = {KIND_DW, {KIND_DX, KIND_FX, KIND_CH, KIND_FF}, Closing::Line, KIND_FO};
const ClosingStep COMMENTED_SN_STEP = {KIND_SN, {KIND_CH, KIND_FN}, Closing::Line, KIND_FO};

void close_comment_run(FlatChain &chain, const Openings &openings, uint32_t last_comment)
{
    const uint32_t after = chain.next[last_comment];
    if (after && chain.kind(after) == KIND_DW)
        close_runs_from(chain, openings, last_comment, 1, COMMENTED_DW_STEP);
    else
        close_runs_from(chain, openings, last_comment, 1, COMMENTED_SN_STEP);
}

// The kinds of the lines a closing run may open or hold.
KindSet run_kinds()
{
    KindSet kinds{};
    auto add = [&kinds](const ClosingStep &step) { kinds.bits |= KindSet{step.opener}.bits | step.members.bits; };
    for (const ClosingStep &step : CLOSING_STEPS)
        add(step);
    add(COMMENTED_DW_STEP);
    add(COMMENTED_SN_STEP);
    return kinds;
}

// The runs from the node after `before` on; at most `limit` (negative: all).
// A run is an opening line and the member lines after it; a run reaching
// the last line of the file ends the run with UNEXPTEOF. `before` is the
// work root or the last line of a comment run, which no made line follows.
void close_runs_from(FlatChain &chain, const Openings &openings, uint32_t before, int limit, const ClosingStep &step)
{
    OpeningsAhead ahead(openings, step.opener);
    uint32_t current = chain.next[before];
    if (current)
        ahead.skip_before(current);
    for (int runs = 0; runs != limit; ++runs) {
        if (!current || chain.is_last(current) || ahead.empty()) {
            // A comment run's search for its run goes on past the lines of
            // a front part, where only the whole file can follow it.
            if (limit >= 0 && chain.continues)
                unexpected_end();
            return;
        }
        const uint32_t opening = ahead.take();
        uint32_t run_end = find_run_end(chain, chain.next[opening], step.members, ahead);
        if (run_end == NONE)
            run_end = opening;
        else if (chain.is_last(run_end))
            unexpected_end();
        switch (step.closing) {
        case Closing::Line:
            chain.insert_after(run_end, made_closing_line(step.closer));
            break;
        case Closing::Fw:
            chain.insert_after(run_end, fw_line(chain.line[opening]));
            break;
        case Closing::Comments:
            close_comment_run(chain, openings, run_end);
            break;
        }
        current = chain.next[run_end];
    }
}


constexpr int16_t BLOCK = -1;
// A PP or DA block none of whose lines is selected: pruning takes it out of
// the file's second and third parts (see prune_selection).
constexpr int16_t UNSELECTED_BLOCK = -2;

// An element of the top level while blocks are enclosed: a line (with its
// kind, whether its code is exactly two letters and whether it is selected)
// or an enclosed block.
struct Element {
    Item item;
    int16_t kind; // a block: BLOCK or UNSELECTED_BLOCK
    uint8_t exact;
    uint8_t selects;

    bool is_line_of(int wanted) const { return kind == wanted; }
};

std::size_t lines_in(Item item)
{
    if (is_line_item(item))
        return 1;
    std::size_t count = 0;
    for_each_line_cell(list_of(item), [&count](CellId) { return ++count; });
    return count;
}

// The list of the elements from `first` to `last`. Where an unselected
// block goes is noted in `unselected`; when it heads the list, with no
// holder yet (the caller that makes the holding cell fills it in).
Item enclose(const Element *first, const Element *last, UnselectedBlocks &unselected)
{
    CellId head = 0;
    CellId tail = 0;
    for (const Element *element = first; element <= last; ++element) {
        const CellId cell = cell_new(element->item);
        if (element->kind == UNSELECTED_BLOCK)
            unselected.push_back({cell, tail, tail == 0});
        if (tail)
            cell_at(tail).next = cell;
        else
            head = cell;
        tail = cell;
    }
    return list_item(head);
}

// Flat blocks end at the first closing line after their opening line. The
// top level is rewritten in place: a block takes less room than its lines.
void nest_flat(ScratchVector<Element> &elements, LineKind opener, LineKind closer,
               UnselectedBlocks &unselected)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < elements.size();) {
        const Element element = elements[i];
        if (!element.is_line_of(opener)) {
            elements[kept++] = element;
            ++i;
            continue;
        }
        std::size_t closing = i;
        while (closing < elements.size() && !(elements[closing].is_line_of(closer) && elements[closing].exact))
            ++closing;
        if (closing == i || closing == elements.size())
            unexpected_end();
        elements[kept++] = {enclose(&elements[i], &elements[closing], unselected), BLOCK, 0, 0};
        i = closing + 1;
    }
    elements.resize(kept);
}

// A PP or DA block is selected when one of its own lines is.
bool selected_block(LineKind opener, const Element *first, const Element *last)
{
    if (opener != KIND_PP && opener != KIND_DA)
        return true;
    for (const Element *element = first; element <= last; ++element)
        if (element->kind >= 0 && element->selects)
            return true;
    return false;
}

// Nested blocks pair up like parentheses.
void nest_paired(ScratchVector<Element> &elements, LineKind opener, LineKind closer,
                 UnselectedBlocks &unselected)
{
    std::vector<std::size_t> open_blocks;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const Element element = elements[i];
        if (element.is_line_of(opener)) {
            open_blocks.push_back(kept);
            elements[kept++] = element;
        } else if (element.is_line_of(closer)) {
            if (open_blocks.empty())
                unexpected_end();
            const std::size_t start = open_blocks.back();
            open_blocks.pop_back();
            elements[kept] = element;
            const bool selected = selected_block(opener, &elements[start], &elements[kept]);
            const Item block = enclose(&elements[start], &elements[kept], unselected);
            elements[start] = {block, selected ? BLOCK : UNSELECTED_BLOCK, 0, 0};
            kept = start + 1;
        } else {
            elements[kept++] = element;
        }
    }
    if (!open_blocks.empty())
        unexpected_end();
    elements.resize(kept);
}

enum class Nesting { Flat, Paired };

struct NestingStep {
    LineKind opener;
    LineKind closer;
    Nesting nesting;
};

constexpr NestingStep NESTING_STEPS[] = {
    {KIND_XX, KIND_TP, Nesting::Flat},   {KIND_ER, KIND_TP, Nesting::Flat},   {KIND_EX, KIND_TP, Nesting::Flat},
    {KIND_DA, KIND_FA, Nesting::Paired}, {KIND_PP, KIND_FQ, Nesting::Paired}, {KIND_EV, KIND_FV, Nesting::Paired},
    {KIND_CO, KIND_FO, Nesting::Flat},   {KIND_SN, KIND_FN, Nesting::Flat},   {KIND_DW, KIND_FF, Nesting::Flat},
    {KIND_XI, KIND_YI, Nesting::Paired}, {KIND_DT, KIND_YT, Nesting::Paired}, {KIND_XE, KIND_FE, Nesting::Paired},
    {KIND_DS, KIND_FS, Nesting::Paired}, {KIND_RE, KIND_FR, Nesting::Paired}, {KIND_DB, KIND_BF, Nesting::Paired},
};

// The top level becomes three cells: a one-cell list holding the first
// element, the chain of the middle ones (an empty cell when there are
// none), a one-cell list holding the last.
CellId split_three(const ScratchVector<Element> &elements, UnselectedBlocks &unselected)
{
    if (elements.size() < 2)
        unexpected_end();
    const CellId last_element = cell_new(elements.back().item);
    const CellId last = cell_new(list_item(last_element));
    if (elements.back().kind == UNSELECTED_BLOCK)
        unselected.push_back({last_element, last, true});
    if (elements.size() == 2)
        return cell_new(list_item(cell_new(elements.front().item)), cell_new(NO_ITEM, last));
    const std::size_t noted = unselected.size();
    const CellId body = cell_new(enclose(&elements[1], &elements[elements.size() - 2], unselected), last);
    for (std::size_t at = noted; at < unselected.size(); ++at)
        if (!unselected[at].holder)
            unselected[at].holder = body;
    return cell_new(list_item(cell_new(elements.front().item)), body);
}

// Where a list's first cell is held: the item of a cell, or its next link.
struct Slot {
    CellId holder;
    bool in_item;

    CellId get() const
    {
        const Cell &cell = cell_at(holder);
        return in_item ? list_of(cell.item) : cell.next;
    }
    void set(CellId first) const
    {
        Cell &cell = cell_at(holder);
        if (in_item)
            cell.item = list_item(first);
        else
            cell.next = first;
    }
};

// Takes the runs from the front of `list` (see the header for the shape)
// and returns the fresh cell that replaces it. Inner lists of DS groups that
// need regrouping are left in `pending`.
CellId regroup_list(CellId list, std::vector<Slot> &pending)
{
    const CellId regrouped = cell_new();
    CellId last_run = 0;
    CellId rest = list;
    while (rest && starts_with_group(list_item(rest))) {
        const CellId run_start = rest;
        CellId run_end = 0;
        auto take_if = [&](auto test) {
            const Item item = rest ? cell_at(rest).item : NO_ITEM;
            if (item && test(item)) {
                run_end = rest;
                rest = cell_at(rest).next;
                return true;
            }
            return false;
        };
        take_if(is_XI_group);
        const CellId ds_cell = rest;
        if (take_if(is_DS_group)) {
            const CellId ds_line_cell = list_of(cell_at(ds_cell).item);
            const CellId inner = cell_at(ds_line_cell).next;
            if (inner && is_timed_list(list_item(inner)))
                pending.push_back({ds_line_cell, false});
        }
        if (!take_if(has_DT_line))
            take_if(has_XE_line);
        if (!run_end)
            break;
        cell_at(run_end).next = 0;
        const CellId run = cell_new(list_item(run_start));
        if (last_run)
            cell_at(last_run).next = run;
        else
            cell_at(regrouped).item = list_item(run);
        last_run = run;
    }
    cell_at(regrouped).next = rest;
    return regrouped;
}

// Lines `from` to `to` of `lines`, with room for their closing lines.
ScratchVector<LineId> part_of(const ScratchVector<LineId> &lines, std::size_t from, std::size_t to)
{
    ScratchVector<LineId> part;
    part.reserve(FlatChain::room_for(to - from));
    part.assign(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.begin() + static_cast<std::ptrdiff_t>(to));
    return part;
}

// The closed flat list as top-level elements, with the lines in that order
// (both with room for `room` of them). `front_part`: more lines of the file
// follow these.
ScratchVector<Element> closed_elements(ScratchVector<LineId> lines, bool front_part, ScratchVector<LineId> &ordered,
                                     std::size_t room)
{
    FlatChain chain(std::move(lines), front_part);
    const Openings openings(chain);
    for (const ClosingStep &step : CLOSING_STEPS)
        close_runs_from(chain, openings, 0, -1, step);
    ScratchVector<Element> elements;
    elements.reserve(std::max(chain.line.size(), room));
    ordered.reserve(std::max(chain.line.size(), room));
    for (uint32_t node = chain.next[0]; node; node = chain.next[node]) {
        elements.push_back({line_item(chain.line[node]), chain.kind(node), chain.exact(node), chain.selects(node)});
        ordered.push_back(chain.line[node]);
    }
    return elements;
}

// Lines closed and enclosed: the top level before it is split in three.
struct NestedLines {
    ScratchVector<Element> elements;
    ScratchVector<LineId> ordered;
    UnselectedBlocks unselected;
};

NestedLines nested_lines(ScratchVector<LineId> lines, bool front_part, std::size_t room = 0)
{
    // The flat chain is gone before blocks are enclosed: the peak of a big
    // file's loading holds only the elements beside the new cells.
    NestedLines nested;
    nested.elements = closed_elements(std::move(lines), front_part, nested.ordered, room);
    // Every unselected block has an element of its own: room reserved, not
    // touched, spares a big file's list its copies as it grows.
    nested.unselected.reserve(nested.elements.capacity());
    for (const NestingStep &step : NESTING_STEPS) {
        if (step.nesting == Nesting::Flat)
            nest_flat(nested.elements, step.opener, step.closer, nested.unselected);
        else
            nest_paired(nested.elements, step.opener, step.closer, nested.unselected);
    }
    return nested;
}

StructuredFile split_file(NestedLines nested)
{
    StructuredFile structured;
    structured.unselected = std::move(nested.unselected);
    structured.tree = split_three(nested.elements, structured.unselected);
    structured.lines = std::move(nested.ordered);
    structured.body_begin = lines_in(nested.elements.front().item);
    structured.last_begin = structured.lines.size() - lines_in(nested.elements.back().item);
    return structured;
}

// Runs `work` with this thread's output kept aside; false when the work
// would have ended the run. What it would have said is dropped.
template <typename Work> bool ran_to_the_end(Work work)
{
    DeferredOutput dropped;
    return run_deferred(dropped, work);
}

// The two parts nested at once and joined; nullopt when either met a
// fault, with `lines` left for the structuring of the whole list.
std::optional<NestedLines> nested_in_parts(ScratchVector<LineId> &lines, std::size_t cut)
{
    NestedLines back;
    bool back_done = false;
    std::jthread helper;
    try {
        helper = std::jthread([&] {
            back_done = ran_to_the_end([&] { back = nested_lines(part_of(lines, cut, lines.size()), false); });
        });
    } catch (const std::system_error &) {
        return std::nullopt;
    }
    // The front's lists take the back's after them, in room they have.
    const std::size_t room = FlatChain::room_for(lines.size());
    NestedLines front;
    const bool front_done = ran_to_the_end([&] { front = nested_lines(part_of(lines, 0, cut), true, room); });
    helper.join();
    if (!front_done || !back_done)
        return std::nullopt;
    ScratchVector<LineId>().swap(lines); // out of the join's peak
    front.elements.insert(front.elements.end(), back.elements.begin(), back.elements.end());
    front.ordered.insert(front.ordered.end(), back.ordered.begin(), back.ordered.end());
    front.unselected.insert(front.unselected.end(), back.unselected.begin(), back.unselected.end());
    return front;
}

} // namespace

StructuredFile structure_lines(ScratchVector<LineId> lines)
{
    return split_file(nested_lines(std::move(lines), false));
}

std::size_t structure_cut(const ScratchVector<LineId> &lines)
{
    if (lines.size() < STRUCTURE_CUT_MIN)
        return 0;
    const KindSet block_ends{KIND_YI, KIND_YT, KIND_FE, KIND_FS, KIND_BF};
    const std::size_t last = std::min(lines.size() - 1, lines.size() / 2 + STRUCTURE_CUT_SEARCH);
    for (std::size_t at = lines.size() / 2; at < last; ++at) {
        const Line &line = line_at(lines[at]);
        if (line.exact_code && block_ends.has(line.kind))
            return at + 1;
    }
    return 0;
}

StructuredFile structure_lines(ScratchVector<LineId> lines, std::size_t cut)
{
    // A run opened by the front part's last line would go on past the cut
    // with no fault to show it: that line is none a closing run may hold.
    static const KindSet in_runs = run_kinds();
    if (cut == 0 || cut >= lines.size() || in_runs.has(line_at(lines[cut - 1]).kind))
        return structure_lines(std::move(lines));
    // A run or block that spans the cut is a fault of a part; the whole list
    // then says what is wrong with it, if anything, as it always did.
    std::optional<NestedLines> nested = nested_in_parts(lines, cut);
    if (!nested)
        return structure_lines(std::move(lines));
    return split_file(std::move(*nested));
}

void regroup_timed(CellId tree)
{
    std::vector<CellId> chains{tree};
    std::vector<Slot> pending;
    while (!chains.empty()) {
        CellId cell = chains.back();
        chains.pop_back();
        for (; cell; cell = cell_at(cell).next) {
            const Item item = cell_at(cell).item;
            if (!is_list_item(item))
                continue;
            if (is_timed_list(item))
                pending.push_back({cell, true});
            else
                chains.push_back(list_of(item));
        }
        while (!pending.empty()) {
            const Slot slot = pending.back();
            pending.pop_back();
            slot.set(regroup_list(slot.get(), pending));
        }
    }
}
