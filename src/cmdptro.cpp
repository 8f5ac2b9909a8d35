#include "cmdptro.h"

#include "i18nerrgest.h"

#include <QCoreApplication>

#include <array>

namespace {

constexpr int LANGUAGE_SLOT = 2;

// Slots 0 and 1 carry the French placeholder names, slot 2 the English ones.
const char *const USAGE_FRENCH = QT_TRANSLATE_NOOP(
    "Command-line",
    "\nUsage ZOVIZEVE:\n\t<fichiers_RIO_et_TDC>[,fichiers_RIO_et_TDC]\n\t[-RA=<TEST|ERR|RA>]\n"
    "\t[-VA=<EVAL|NOEVAL|COMBINE>]\n\t[-LE=<GB|FA|FR>]\n\t[-COMMENT|-NOCOMMENT]\n\t[-PORTRAIT]\n"
    "\t[-LANDSCAPE]\n\t[-NOLOG]\n\t[-LOG]\n\t[-NORO]\n\t[-SUMMARY|-NOSUMMARY]\n\t[-RDD=<nom_fichier>]\n"
    "\t[-TIME]\n");
const char *const USAGE_ENGLISH = QT_TRANSLATE_NOOP(
    "Command-line",
    "\nUsage ZOVIZEVE:\n\t<TDC_and_RIO_files>[,TDC_and_RIO_files]\n\t[-RA=<TEST|ERR|RA>]\n"
    "\t[-VA=<EVAL|NOEVAL|COMBINE>]\n\t[-LE=<GB|FA|FR>]\n\t[-COMMENT|-NOCOMMENT]\n\t[-PORTRAIT]\n"
    "\t[-LANDSCAPE]\n\t[-NOLOG]\n\t[-LOG]\n\t[-NORO]\n\t[-SUMMARY|-NOSUMMARY]\n\t[-RDD=<file_name>]\n"
    "\t[-TIME]\n");

// Indexed by the derived values ra, va and le.
const std::array<const char *, 3> RA_WORDS = {"RA", "TEST", "ERR"};
const std::array<const char *, 3> VA_WORDS = {"EVAL", "NOEVAL", "COMBINE"};
const std::array<const char *, 3> LE_WORDS = {"FR", "FA", "GB"};

CmdNames same_names(std::string_view name) { return {name, name, name}; }

ArgumentDesc text_argument(std::string_view french, std::string_view english, int max_length, char list_allowed)
{
    ArgumentDesc argument;
    argument.names = {french, french, english};
    argument.type = 'C';
    argument.list_allowed = list_allowed;
    argument.min = 1;
    argument.max = max_length;
    return argument;
}

OptionDesc flag_option(std::string_view name, bool negatable = false, bool default_on = false)
{
    OptionDesc option;
    option.names = same_names(name);
    option.negatable = negatable;
    option.default_on = default_on;
    return option;
}

OptionDesc value_option(std::string_view name, ArgumentDesc argument, std::initializer_list<std::string_view> values,
                        bool default_on, int default_value)
{
    OptionDesc option;
    option.names = same_names(name);
    option.argument_required = true;
    option.argument = std::move(argument);
    option.default_on = default_on;
    option.default_value = default_value;
    for (const std::string_view value : values)
        option.values.push_back(ValueDesc{same_names(value), false});
    return option;
}

const OptionDesc *find_option(const CmdTable &table, std::string_view name)
{
    for (const OptionDesc &option : table.options)
        if (option.names[LANGUAGE_SLOT] == name)
            return &option;
    return nullptr;
}

// Given together, these contradict each other.
std::vector<CombinationRule> merge_combination_rules(const CmdTable &table)
{
    return {
        {CMD_OPTION, find_option(table, "LOG"), CMD_OPTION, find_option(table, "NOLOG")},
        {CMD_OPTION, find_option(table, "LANDSCAPE"), CMD_OPTION, find_option(table, "PORTRAIT")},
    };
}

CmdTable make_table()
{
    CmdTable table;
    // Build scripts on POSIX pass absolute paths: a leading "/" is a file name.
#ifdef _WIN32
    table.slash_prefix = true;
#endif
    table.usage = {USAGE_FRENCH, USAGE_FRENCH, USAGE_ENGLISH};
    table.options = {
        value_option("RA", text_argument("ra_type", "type_ra", 6, 'N'), {"RA", "ERR", "TEST"}, true, 1),
        value_option("VA", text_argument("va_type", "type_va", 8, 'N'), {"COMBINE", "NOEVAL", "EVAL"}, true, 3),
        value_option("LE", text_argument("lng_type", "type_lng", 2, 'N'), {"FR", "FA", "GB"}, false, 1),
        flag_option("COMMENT", true, true),
        flag_option("PORTRAIT"),
        flag_option("LANDSCAPE"),
        flag_option("NOLOG"),
        flag_option("LOG"),
        flag_option("NORO"),
        flag_option("SUMMARY", true),
        value_option("RDD", text_argument("nom_fichier", "file_name", 1024, 'N'), {}, false, 0),
        flag_option("TIME"),
    };
    table.positionals = {text_argument("fichiers_RIO_et_TDC", "TDC_and_RIO_files", 1024, 'Y')};
    table.combination_rules = merge_combination_rules;
    return table;
}

bool decoded = false;
MergeOptions derived;

int word_index(const std::array<const char *, 3> &words, int option_position)
{
    const ValueCell *value = cmd_option_value(option_position, 1);
    for (std::size_t i = 0; value && i < words.size(); ++i)
        if (value->text == words[i])
            return int(i);
    return 0;
}

bool given(const char *name) { return cmd_option_state(name) > 0; }

MergeOptions derive_options()
{
    MergeOptions options;
    options.ra = word_index(RA_WORDS, cmd_option_state("RA"));
    options.va = word_index(VA_WORDS, cmd_option_state("VA"));
    options.le = 2;
    options.comment = cmd_option_state("COMMENT") < 0 ? 0 : 1;
    options.landscape = given("PORTRAIT") ? 0 : 1;
    options.log = given("LOG") ? 1 : 0;
    options.summary_off = given("SUMMARY") ? 0 : 1;
    options.rod = 1;
    options.noro = given("NORO") ? 1 : 0;
    return options;
}

std::string postpro_option_string(const CmdTable &table, const MergeOptions &options)
{
    const std::string prefix(1, table.option_prefix);
    const std::string equals(1, table.value_separator);
    std::string text = " ";
    text += " " + prefix + "RA" + equals + RA_WORDS[std::size_t(options.ra)];
    text += " " + prefix + "VA" + equals + VA_WORDS[std::size_t(options.va)];
    text += " " + prefix + "LE" + equals + LE_WORDS[std::size_t(options.le)];
    text += " " + prefix + (options.comment ? "COMMENT" : "NOCOMMENT");
    text += " " + prefix + (options.landscape ? "LANDSCAPE" : "PORTRAIT");
    text += " " + prefix + (options.summary_off ? "NOSUMMARY" : "SUMMARY");
    text += " " + prefix + "ROD";
    if (options.noro)
        text += " " + prefix + "NORO";
    return text;
}

} // namespace

CmdTable &merge_option_table()
{
    static CmdTable table = make_table();
    return table;
}

int option_language_init()
{
    merge_option_table().language = LANGUAGE_SLOT;
    return LANGUAGE_SLOT;
}

bool merge_options_decode(int argc, char **argv, std::string &postpro_options, MergeSettings &settings)
{
    settings = MergeSettings{};
    decoded = false;
    CmdTable &table = merge_option_table();
    cmd_use_table(table);
    if (cmd_decode(argc, argv) != 0)
        return false;
    derived = derive_options();
    decoded = true;
    postpro_options = postpro_option_string(table, derived);
    settings.log = derived.log;
    settings.language = derived.le;
    return true;
}

void merge_options_check_decoded()
{
    if (!decoded)
        report_system("INITPBRLM", QString(), QString());
}

const MergeOptions &merge_options()
{
    merge_options_check_decoded();
    return derived;
}
