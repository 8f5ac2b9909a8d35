// Generic command-line decoder: decodes a program's arguments against a table
// of option and argument descriptors that the tool defines.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Every name exists in three language slots; matching tries all of them, the
// option language picks the one used in messages and canonical values.
constexpr int CMD_SLOTS = 3;
using CmdNames = std::array<std::string_view, CMD_SLOTS>;

// One value given on the command line: `text` for type 'C', `number` for 'I'
// and 'L'.
struct ValueCell {
    std::string text;
    long number = 0;
};

struct ValueDesc {
    CmdNames names;
    bool selected = false; // a given value matched this one
};

struct ArgumentDesc {
    CmdNames names;
    char type = 'C';         // 'C' text, 'I' integer, 'L' long integer
    char list_allowed = 'N'; // 'Y': several values allowed
    int min = 0;             // 'C': length range in characters; 'I'/'L': value range
    int max = 0;
    bool optional = false;   // positional arguments only
    std::vector<ValueCell> given; // in the order given
};

struct OptionDesc {
    CmdNames names;
    bool argument_required = false; // must be written "=value"
    std::optional<ArgumentDesc> argument;
    int state = 0;                  // 0 not given, 1 given, -1 negated or off by default
    bool negatable = false;         // "no" + name accepted, sets state -1
    bool default_on = false;
    int default_value = 0;          // 1-based position in `values`; 0 for none
    std::vector<ValueDesc> values;  // enumerated values; empty: any value
};

// A kind of 1 names a ValueDesc (condition: selected), 2 an ArgumentDesc (at
// least one value given), 3 an OptionDesc (state non-zero); a negative kind
// means the condition must be false. A rule is violated when both hold.
enum CmdElementKind { CMD_VALUE = 1, CMD_ARGUMENT = 2, CMD_OPTION = 3 };
using CmdElement = std::variant<const ValueDesc *, const ArgumentDesc *, const OptionDesc *>;

struct CombinationRule {
    int kind1 = 0;
    CmdElement element1;
    int kind2 = 0;
    CmdElement element2;
};

struct CmdTable;
using CmdRuleBuilder = std::vector<CombinationRule> (*)(const CmdTable &table);

struct CmdTable {
    char option_prefix = '-';
    bool slash_prefix = false; // also take words beginning with '/' as options
    char value_separator = '=';
    char list_separator = ',';
    int language = 2;                              // the option language slot
    std::array<const char *, CMD_SLOTS> usage{};   // usage text per slot
    std::vector<OptionDesc> options;               // chain order
    std::vector<ArgumentDesc> positionals;         // chain order
    CmdRuleBuilder combination_rules = nullptr;    // called after defaults
};

enum CmdErrorIndex {
    CMD_ERR_VALUE_TOO_SMALL = 0,
    CMD_ERR_VALUE_TOO_LARGE = 1,
    CMD_ERR_LENGTH_TOO_SMALL = 2,
    CMD_ERR_LENGTH_TOO_LARGE = 3,
    CMD_ERR_TOO_MANY_ARGUMENTS = 4,
    CMD_ERR_ARGUMENT_LIST = 5,
    CMD_ERR_UNKNOWN_OPTION = 6,
    CMD_ERR_BAD_CHARACTER = 7,
    CMD_ERR_OPTION_TWICE = 8,
    CMD_ERR_ARGUMENT_REQUIRED = 9,
    CMD_ERR_NO_ARGUMENT = 10,
    CMD_ERR_OPTION_LIST = 11,
    CMD_ERR_ARGUMENT_MISSING = 12,
    CMD_ERR_AMBIGUOUS_OPTION = 13,
    CMD_ERR_UNKNOWN_VALUE = 14,
    CMD_ERR_AMBIGUOUS_VALUE = 15,
    CMD_ERR_COMBINATION = 16,
    CMD_ERR_FILE_NOT_FOUND = 17,
    CMD_ERR_NO_MEMORY = 18,
    CMD_ERR_ANALYSIS = 19,
    CMD_ERR_BAD_OPTION_NAME = 20,
    CMD_ERROR_COUNT = 21
};

// The table the decoder and its accessors work on; it must outlive them.
void cmd_use_table(CmdTable &table);
// Clears every state, selection and given value of the table in use.
void cmd_clear();

// Decodes argv[1..argc-1]: 0 on success, -1 after an error line has been
// printed. Starts from a cleared table, so it may be run again.
int cmd_decode(int argc, char **argv);
// 0 when the option named `name` (option-language name, exact) is not given,
// its 1-based position when given, minus that position when negated.
int cmd_option_state(std::string_view name);
// The n-th value (1-based) of the option at `position` (sign ignored), or null.
const ValueCell *cmd_option_value(int position, int n);
// The n-th value of the k-th positional argument (both 1-based), or null.
const ValueCell *cmd_param_value(int k, int n);

// Prints "<product> Command analysis : <error text>[ <text>]<usage>\n" on
// standard error. Error 20 is an internal fault and comes without usage text.
void cmd_error(int index, std::optional<std::string_view> text);
