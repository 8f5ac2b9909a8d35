#include "gcmdec.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

// The suite's product name heads every decoder line.
const char *const PRODUCT_NAME = QT_TRANSLATE_NOOP("CAB", "Molvex");

const char *const ERROR_TEXTS[CMD_ERROR_COUNT] = {
    QT_TRANSLATE_NOOP("CAB", "Arg value too small,"),
    QT_TRANSLATE_NOOP("CAB", "Arg value too large,"),
    QT_TRANSLATE_NOOP("CAB", "Arg length too small,"),
    QT_TRANSLATE_NOOP("CAB", "Arg length too large,"),
    QT_TRANSLATE_NOOP("CAB", "Too many arguments invalid argument,"),
    QT_TRANSLATE_NOOP("CAB", "List forbidden invalid argument,"),
    QT_TRANSLATE_NOOP("CAB", "Unknown option,"),
    QT_TRANSLATE_NOOP("CAB", "Invalid character following option,"),
    QT_TRANSLATE_NOOP("CAB", "An option can't be used twice,"),
    QT_TRANSLATE_NOOP("CAB", "Mandatory argument for this option,"),
    QT_TRANSLATE_NOOP("CAB", "No argument for this option,"),
    QT_TRANSLATE_NOOP("CAB", "List forbidden invalid option,"),
    QT_TRANSLATE_NOOP("CAB", "Argument missing,"),
    QT_TRANSLATE_NOOP("CAB", "Ambiguous option,"),
    QT_TRANSLATE_NOOP("CAB", "Unknown value of option,"),
    QT_TRANSLATE_NOOP("CAB", "Ambiguous value of option,"),
    QT_TRANSLATE_NOOP("CAB", "Illegal combination of command elements,"),
    QT_TRANSLATE_NOOP("CAB", "File not found"),
    QT_TRANSLATE_NOOP("CAB", "Command analysis: No memory left"),
    QT_TRANSLATE_NOOP("CAB", "Command analysis"),
    QT_TRANSLATE_NOOP("CAB", "Internal error, bad option name"),
};

const std::array<std::string_view, CMD_SLOTS> AND_WORDS = {"et", "et", "and"};

CmdTable empty_table;
CmdTable *active_table = &empty_table;

QString cab_text(const char *source) { return QCoreApplication::translate("CAB", source); }

// "<product> <heading>", the start of every decoder line.
QString product_heading(int index)
{
    return QStringLiteral("%1 %2").arg(cab_text(PRODUCT_NAME), cab_text(ERROR_TEXTS[index]));
}

QString usage_text(const CmdTable &table)
{
    const char *usage = table.usage[table.language];
    if (!usage)
        return QString();
    QString text = QCoreApplication::translate("Command-line", usage);
    // Hidden options are documented on lines "\t[-XT...". The dot also matches
    // newlines, as it did with the QRegExp this filter was written for.
    static const QRegularExpression hidden(QStringLiteral("\t\\[-XT.*\n"),
                                           QRegularExpression::DotMatchesEverythingOption);
    text.remove(hidden);
    return text;
}

void write_stderr(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void report_no_memory() { write_stderr(product_heading(CMD_ERR_NO_MEMORY)); }

bool fail(int index, std::string_view text)
{
    cmd_error(index, text);
    return false;
}

char fold(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

// Number of leading characters of `typed` equal to `name` (ASCII case folded).
// 0 when the words differ before the name ends, unless the typed character
// there is the value separator: the typed word must be an abbreviation.
std::size_t match_length(std::string_view typed, std::string_view name, char value_separator)
{
    std::size_t i = 0;
    while (i < typed.size() && i < name.size() && fold(typed[i]) == fold(name[i]))
        ++i;
    if (i < typed.size() && i < name.size() && typed[i] != value_separator)
        return 0;
    return i;
}

bool is_escaped(std::string_view text, std::size_t position) { return position > 0 && text[position - 1] == '\\'; }

bool has_unescaped_separator(std::string_view text, char separator)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == separator && !is_escaped(text, i))
            return true;
    return false;
}

std::vector<std::string_view> split_list(std::string_view text, char separator)
{
    std::vector<std::string_view> elements;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == separator && !is_escaped(text, i)) {
            elements.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    elements.push_back(text.substr(start));
    return elements;
}

std::string remove_escapes(std::string_view element, char separator)
{
    std::string text;
    text.reserve(element.size());
    for (std::size_t i = 0; i < element.size(); ++i)
        if (!(element[i] == '\\' && i + 1 < element.size() && element[i + 1] == separator))
            text += element[i];
    return text;
}

long character_count(std::string_view text)
{
    return long(QString::fromLocal8Bit(text.data(), qsizetype(text.size())).toUcs4().size());
}

struct OptionMatch {
    OptionDesc *option = nullptr;
    bool negated = false;
    std::size_t length = 0;
    bool ambiguous = false;
};

OptionMatch match_option(CmdTable &table, std::string_view typed)
{
    OptionMatch best;
    for (int slot = 0; slot < CMD_SLOTS; ++slot) {
        for (OptionDesc &option : table.options) {
            for (const bool negated : {false, true}) {
                if (negated && !option.negatable)
                    continue;
                std::string name = negated ? "NO" : "";
                name += option.names[slot];
                const std::size_t length = match_length(typed, name, table.value_separator);
                if (length == 0)
                    continue;
                if (length == name.size()) {
                    // A whole name followed by anything but "=" is another word.
                    if (length == typed.size() || typed[length] == table.value_separator)
                        return OptionMatch{&option, negated, length, false};
                    continue;
                }
                if (length > best.length)
                    best = OptionMatch{&option, negated, length, false};
                else if (length == best.length && &option != best.option)
                    best.ambiguous = true;
            }
        }
    }
    return best;
}

struct ValueMatch {
    ValueDesc *value = nullptr;
    bool ambiguous = false;
};

ValueMatch match_value(const CmdTable &table, std::vector<ValueDesc> &values, std::string_view typed)
{
    ValueMatch best;
    std::size_t best_length = 0;
    for (int slot = 0; slot < CMD_SLOTS; ++slot) {
        for (ValueDesc &value : values) {
            const std::string_view name = value.names[slot];
            const std::size_t length = match_length(typed, name, table.value_separator);
            if (length == 0)
                continue;
            // A complete value name wins even when the word goes on (TESTX is TEST).
            if (length == name.size())
                return ValueMatch{&value, false};
            if (length > best_length) {
                best = ValueMatch{&value, false};
                best_length = length;
            } else if (length == best_length && &value != best.value) {
                best.ambiguous = true;
            }
        }
    }
    return best;
}

bool convert_text(const CmdTable &table, ArgumentDesc &argument, OptionDesc *owner, std::string_view element)
{
    const long length = character_count(element);
    if (length < argument.min)
        return fail(CMD_ERR_LENGTH_TOO_SMALL, element);
    if (length > argument.max)
        return fail(CMD_ERR_LENGTH_TOO_LARGE, element);
    std::string text = remove_escapes(element, table.list_separator);
    if (owner && !owner->values.empty()) {
        const ValueMatch match = match_value(table, owner->values, text);
        if (!match.value)
            return fail(CMD_ERR_UNKNOWN_VALUE, text);
        if (match.ambiguous)
            return fail(CMD_ERR_AMBIGUOUS_VALUE, text);
        match.value->selected = true;
        text = match.value->names[table.language];
    }
    argument.given.push_back(ValueCell{std::move(text), 0});
    return true;
}

bool convert_number(ArgumentDesc &argument, std::string_view element)
{
    const std::string text(element);
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (number < argument.min)
        return fail(CMD_ERR_VALUE_TOO_SMALL, element);
    if (number > argument.max)
        return fail(CMD_ERR_VALUE_TOO_LARGE, element);
    argument.given.push_back(ValueCell{std::string(), number});
    return true;
}

// Converts each element and appends it to the argument's values; `owner` is
// the option whose enumerated values apply, null for positional arguments.
bool append_values(const CmdTable &table, ArgumentDesc &argument, OptionDesc *owner,
                   const std::vector<std::string_view> &elements)
{
    for (const std::string_view element : elements) {
        const bool converted = argument.type == 'C' ? convert_text(table, argument, owner, element)
                                                    : convert_number(argument, element);
        if (!converted)
            return false;
    }
    return true;
}

bool decode_option(CmdTable &table, std::string_view word)
{
    const OptionMatch match = match_option(table, word);
    if (!match.option)
        return fail(CMD_ERR_UNKNOWN_OPTION, word);
    if (match.ambiguous)
        return fail(CMD_ERR_AMBIGUOUS_OPTION, word);
    OptionDesc &option = *match.option;
    if (option.state != 0 && (!option.argument || option.argument->list_allowed != 'Y'))
        return fail(CMD_ERR_OPTION_TWICE, word);
    option.state = match.negated ? -1 : 1;

    // The matcher only stops at the end of the word or at the value separator.
    const std::string_view rest = word.substr(match.length);
    if (option.argument_required && rest.size() < 2)
        return fail(CMD_ERR_ARGUMENT_REQUIRED, word);
    if (!option.argument && !rest.empty())
        return fail(CMD_ERR_NO_ARGUMENT, word);
    if (rest.empty())
        return true;
    const std::vector<std::string_view> elements = split_list(rest.substr(1), table.list_separator);
    if (elements.size() > 1 && option.argument->list_allowed != 'Y')
        return fail(CMD_ERR_OPTION_LIST, word);
    return append_values(table, *option.argument, &option, elements);
}

// Each word goes to the positional argument after the one that took the
// previous word; the last one takes all further words.
bool decode_positional(CmdTable &table, std::string_view word, int &last_positional)
{
    if (table.positionals.empty())
        return fail(CMD_ERR_TOO_MANY_ARGUMENTS, word);
    if (last_positional + 1 < int(table.positionals.size()))
        ++last_positional;
    ArgumentDesc &argument = table.positionals[std::size_t(last_positional)];
    const bool list = argument.list_allowed == 'Y';
    if (!list && has_unescaped_separator(word, table.list_separator))
        return fail(CMD_ERR_ARGUMENT_LIST, word);
    if (!list && !argument.given.empty())
        return fail(CMD_ERR_TOO_MANY_ARGUMENTS, word);
    return append_values(table, argument, nullptr, split_list(word, table.list_separator));
}

bool is_option_word(const CmdTable &table, std::string_view word)
{
    return !word.empty() && (word.front() == table.option_prefix || (table.slash_prefix && word.front() == '/'));
}

bool decode_words(CmdTable &table, int argc, char **argv)
{
    int last_positional = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string word(argv[i]);
        const bool decoded = is_option_word(table, word)
                                 ? decode_option(table, std::string_view(word).substr(1))
                                 : decode_positional(table, word, last_positional);
        if (!decoded)
            return false;
    }
    return true;
}

bool check_mandatory_positionals(const CmdTable &table)
{
    for (const ArgumentDesc &argument : table.positionals)
        if (!argument.optional && argument.given.empty())
            return fail(CMD_ERR_ARGUMENT_MISSING, argument.names[table.language]);
    return true;
}

bool any_selected(const std::vector<ValueDesc> &values)
{
    for (const ValueDesc &value : values)
        if (value.selected)
            return true;
    return false;
}

void apply_defaults(CmdTable &table)
{
    for (OptionDesc &option : table.options) {
        if (option.state == 0 && option.default_on)
            option.state = 1;
        else if (option.state == 0 && option.negatable)
            option.state = -1;
        const bool has_default = option.default_value >= 1 && option.default_value <= int(option.values.size());
        if (has_default && option.argument && !any_selected(option.values)) {
            ValueDesc &value = option.values[std::size_t(option.default_value - 1)];
            value.selected = true;
            option.argument->given.assign(1, ValueCell{std::string(value.names[table.language]), 0});
        }
    }
}

bool element_condition(const CmdElement &element)
{
    struct Condition {
        bool operator()(const ValueDesc *value) const { return value && value->selected; }
        bool operator()(const ArgumentDesc *argument) const { return argument && !argument->given.empty(); }
        bool operator()(const OptionDesc *option) const { return option && option->state != 0; }
    };
    return std::visit(Condition{}, element);
}

std::string_view element_name(const CmdElement &element, int slot)
{
    return std::visit([slot](const auto *desc) { return desc ? desc->names[slot] : std::string_view(); }, element);
}

bool term_holds(int kind, const CmdElement &element) { return element_condition(element) == (kind > 0); }

bool check_combinations(const CmdTable &table)
{
    if (!table.combination_rules)
        return true;
    for (const CombinationRule &rule : table.combination_rules(table)) {
        if (term_holds(rule.kind1, rule.element1) && term_holds(rule.kind2, rule.element2)) {
            const std::string text = std::string(element_name(rule.element1, table.language)) + ' ' +
                                     std::string(AND_WORDS[table.language]) + ' ' +
                                     std::string(element_name(rule.element2, table.language));
            return fail(CMD_ERR_COMBINATION, text);
        }
    }
    return true;
}

} // namespace

void cmd_use_table(CmdTable &table) { active_table = &table; }

void cmd_clear()
{
    for (OptionDesc &option : active_table->options) {
        option.state = 0;
        for (ValueDesc &value : option.values)
            value.selected = false;
        if (option.argument)
            option.argument->given.clear();
    }
    for (ArgumentDesc &argument : active_table->positionals)
        argument.given.clear();
}

int cmd_decode(int argc, char **argv)
{
    try {
        cmd_clear();
        CmdTable &table = *active_table;
        if (!decode_words(table, argc, argv) || !check_mandatory_positionals(table))
            return -1;
        apply_defaults(table);
        return check_combinations(table) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        report_no_memory();
        return -1;
    }
}

int cmd_option_state(std::string_view name)
{
    const std::vector<OptionDesc> &options = active_table->options;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (options[i].names[active_table->language] != name)
            continue;
        const int position = int(i) + 1;
        return options[i].state == 0 ? 0 : options[i].state > 0 ? position : -position;
    }
    cmd_error(CMD_ERR_BAD_OPTION_NAME, name);
    return 0;
}

namespace {

const ValueCell *nth_value(const ArgumentDesc &argument, int n)
{
    if (n < 1 || n > int(argument.given.size()))
        return nullptr;
    return &argument.given[std::size_t(n - 1)];
}

} // namespace

const ValueCell *cmd_option_value(int position, int n)
{
    const std::vector<OptionDesc> &options = active_table->options;
    const int index = std::abs(position) - 1;
    if (index < 0 || index >= int(options.size()) || !options[std::size_t(index)].argument)
        return nullptr;
    return nth_value(*options[std::size_t(index)].argument, n);
}

const ValueCell *cmd_param_value(int k, int n)
{
    const std::vector<ArgumentDesc> &positionals = active_table->positionals;
    if (k < 1 || k > int(positionals.size()))
        return nullptr;
    return nth_value(positionals[std::size_t(k - 1)], n);
}

void cmd_error(int index, std::optional<std::string_view> text)
{
    if (index < 0 || index >= CMD_ERROR_COUNT)
        index = CMD_ERR_BAD_OPTION_NAME;
    QString line = product_heading(CMD_ERR_ANALYSIS) + QStringLiteral(" : ") + cab_text(ERROR_TEXTS[index]);
    if (text) {
        const std::string source(*text);
        line += QLatin1Char(' ') + QCoreApplication::translate("Command-line", source.c_str());
    }
    if (index != CMD_ERR_BAD_OPTION_NAME)
        line += usage_text(*active_table);
    line += QLatin1Char('\n');
    write_stderr(line);
}
