#include "rodtri.h"

#include "rodadnam.h"
#include "rodbase.h"

#include <algorithm>
#include <cstring>

namespace {

bool has_fixed_key(int kind) { return kind == KIND_YI || kind == KIND_YT || kind == KIND_FE || kind == KIND_FS; }

} // namespace

int time_field_position(int kind)
{
    switch (kind) {
    case KIND_XI:
    case KIND_DT:
    case KIND_XE:
    case KIND_TP:
        return 1;
    case KIND_DP:
    case KIND_FT:
    case KIND_TN:
    case KIND_TF:
    case KIND_FB:
        return 2;
    case KIND_DS:
    case KIND_DA:
    case KIND_DW:
    case KIND_EV:
    case KIND_RD:
    case KIND_FW:
    case KIND_ID:
        return 5;
    case KIND_SN:
        return 6;
    case KIND_IC:
        return 7;
    default:
        return 0;
    }
}

bool has_own_time(int kind) { return kind != KIND_TP && time_field_position(kind) != 0; }

TimeKey line_time(LineId line)
{
    const int kind = line_at(line).kind;
    if (has_fixed_key(kind))
        return {true, true, FIXED_TIME_KEY};
    const int position = time_field_position(kind);
    if (!position)
        return {};
    return {true, false, static_cast<uint32_t>(line_number_field(line, position))};
}

TimeKey group_time(CellId list)
{
    for (CellId cell = list; cell; cell = cell_at(cell).next) {
        const Item item = cell_at(cell).item;
        if (is_line_item(item)) {
            const TimeKey key = line_time(line_of(item));
            if (key.present)
                return key;
        }
    }
    return {};
}

TimeKey item_time(Item x)
{
    if (is_line_item(x))
        return line_time(line_of(x));
    if (is_group(x))
        return group_time(list_of(x));
    return {};
}

namespace {

// The 2^32-wide window a 64-bit key lies in.
int64_t window_of(int64_t value) { return value >> 32; }

} // namespace

RecordList::Pos RecordList::upper_bound(int64_t key) const
{
    const auto chunk = std::upper_bound(greatest_.begin(), greatest_.end(), key);
    if (chunk == greatest_.end())
        return end();
    return searched_in(static_cast<std::size_t>(chunk - greatest_.begin()), key);
}

RecordList::Pos RecordList::searched_in(std::size_t chunk, int64_t key) const
{
    Chunk *records = chunks_[chunk].get();
    const int64_t *found = std::upper_bound(records->keys, records->keys + records->size, key);
    return {chunk, static_cast<std::size_t>(found - records->keys), records};
}

RecordList::Pos RecordList::upper_bound_from(Pos from, int64_t key) const
{
    int64_t before = 0;
    if (!from.records || from.index > from.records->size || (key_before(from, before) && before > key))
        return upper_bound(key);
    const Chunk &records = *from.records;
    if (records.keys[records.size - 1] <= key) {
        // Gallop over the chunks after it: [low, high] holds the first
        // whose greatest key is greater (or is the end).
        const std::size_t count = greatest_.size();
        std::size_t low = from.chunk + 1;
        std::size_t high = low;
        for (std::size_t step = 1; high < count && greatest_[high] <= key; step *= 2) {
            low = high + 1;
            high = low + step;
        }
        const auto last = greatest_.begin() + static_cast<std::ptrdiff_t>(std::min(high + 1, count));
        const auto chunk = static_cast<std::size_t>(
            std::upper_bound(greatest_.begin() + static_cast<std::ptrdiff_t>(low), last, key) - greatest_.begin());
        return chunk == count ? end() : searched_in(chunk, key);
    }
    // The place is mostly a few records on: steps are cheaper than a
    // search's unpredictable branches. The chunk's last key is greater.
    std::size_t index = from.index;
    while (records.keys[index] <= key)
        ++index;
    return {from.chunk, index, from.records};
}

void RecordList::prefetch_cells(Pos pos, uint32_t count) const
{
    if (is_end(pos))
        return;
    const Chunk &records = *pos.records;
    for (std::size_t at = pos.index; at < records.size && at < pos.index + count; ++at)
        __builtin_prefetch(&cell_at(records.cells[at]));
}

bool RecordList::key_before(Pos pos, int64_t &key) const
{
    if (!is_end(pos) && pos.index > 0) {
        key = pos.records->keys[pos.index - 1];
        return true;
    }
    if (pos.chunk == 0)
        return false;
    key = greatest_[pos.chunk - 1];
    return true;
}

void RecordList::insert(Pos pos, int64_t key, CellId cell)
{
    if (is_end(pos)) {
        if (chunks_.empty() || chunks_.back()->size == CHUNK) {
            chunks_.push_back(std::make_unique<Chunk>());
            greatest_.push_back(key);
        }
        Chunk &last = *chunks_.back();
        last.keys[last.size] = key;
        last.cells[last.size] = cell;
        ++last.size;
        greatest_.back() = key;
        return;
    }
    if (pos.records->size == CHUNK) {
        split(pos.chunk);
        if (pos.index > CHUNK / 2) {
            pos.index -= CHUNK / 2;
            ++pos.chunk;
            pos.records = chunks_[pos.chunk].get();
        }
    }
    Chunk &records = *pos.records;
    std::memmove(records.keys + pos.index + 1, records.keys + pos.index, (records.size - pos.index) * sizeof(int64_t));
    std::memmove(records.cells + pos.index + 1, records.cells + pos.index, (records.size - pos.index) * sizeof(CellId));
    records.keys[pos.index] = key;
    records.cells[pos.index] = cell;
    ++records.size;
    if (pos.index + 1 == records.size)
        greatest_[pos.chunk] = key;
}

void RecordList::split(std::size_t at)
{
    auto upper = std::make_unique<Chunk>();
    Chunk &lower = *chunks_[at];
    upper->size = lower.size - CHUNK / 2;
    std::memcpy(upper->keys, lower.keys + CHUNK / 2, upper->size * sizeof(int64_t));
    std::memcpy(upper->cells, lower.cells + CHUNK / 2, upper->size * sizeof(CellId));
    lower.size = CHUNK / 2;
    greatest_.insert(greatest_.begin() + static_cast<std::ptrdiff_t>(at) + 1, greatest_[at]);
    greatest_[at] = lower.keys[lower.size - 1];
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(at) + 1, std::move(upper));
}

void RecordList::clear()
{
    chunks_.clear();
    greatest_.clear();
}

bool TimeOrder::holds(const TimeFrame &frame) const
{
    if (!built_ || frame.scalings != built_frame_.scalings)
        return false;
    const uint32_t delta = frame.offset - built_frame_.offset;
    if (delta == 0)
        return true;
    return !fixed_ && (!timed_ || window_of(low_ + delta) == window_of(high_ + delta));
}

void TimeOrder::note_key(int64_t value, bool fixed)
{
    if (fixed) {
        fixed_ = true;
        return;
    }
    if (!timed_ || value < low_)
        low_ = value;
    if (!timed_ || value > high_)
        high_ = value;
    timed_ = true;
}

void TimeOrder::rebuild(const TimeFrame &frame)
{
    records_.clear();
    last_place_ = {};
    built_ = true;
    built_frame_ = frame;
    timed_ = fixed_ = false;
    bool any = false;
    int64_t highest = 0;
    tail_ = head_;
    for (CellId cell = cell_at(head_).next; cell != end_; cell = cell_at(cell).next) {
        tail_ = cell;
        const TimeKey key = item_time(cell_at(cell).item);
        if (!key.present)
            continue;
        const int64_t value = key.fixed ? key.value : static_cast<uint32_t>(key.value + frame.offset);
        note_key(value, key.fixed);
        if (!any || value > highest) {
            records_.insert(records_.end(), value, cell);
            highest = value;
            any = true;
        }
    }
}

CellId TimeOrder::tail(const TimeFrame &frame)
{
    if (!built_)
        rebuild(frame);
    return tail_;
}

CellId TimeOrder::insert(Item item, const TimeKey &key, CellId holder, const TimeFrame &frame)
{
    if (!holds(frame) || (key.fixed && frame.offset != built_frame_.offset))
        rebuild(frame);
    const uint32_t delta = frame.offset - built_frame_.offset;
    const uint32_t real = key.fixed ? key.value : key.value + frame.offset;
    const int64_t window = timed_ ? window_of(low_ + delta) : 0;
    const int64_t value = static_cast<int64_t>(real) - delta + (window << 32);
    const RecordList::Pos pos = records_.upper_bound_from(last_place_, value);
    last_place_ = pos;
    // A file's next items land at this record or the next few, whose cells
    // lie anywhere in the merged report.
    records_.prefetch_cells(pos, 4);
    int64_t before = 0;
    const bool after_a_record = records_.key_before(pos, before);
    const bool is_record = !after_a_record || value > before;
    CellId taken = holder;
    if (records_.is_end(pos)) {
        cell_at(holder) = {item, end_};
        cell_at(tail_).next = holder;
        tail_ = holder;
        if (is_record)
            records_.insert(pos, value, holder);
    } else {
        // The new item takes the record's cell; the record's item moves to
        // the free cell right after it.
        CellId &record = records_.cell(pos);
        const CellId place = record;
        cell_at(holder) = cell_at(place);
        cell_at(place) = {item, holder};
        record = holder;
        if (tail_ == place)
            tail_ = holder;
        if (is_record)
            records_.insert(pos, value, place);
        taken = place;
    }
    note_key(value, key.fixed);
    return taken;
}
