// zovizeve driver: the fixed order of one run, from start-up to exit status.
#include "cmdline.h"
#include "cmdptro.h"
#include "cstsyst.h"
#include "exec.h"
#include "fct_sys.h"
#include "i18n_zrm_msg.h"
#include "i18nerrgest.h"
#include "i18nutil.h"
#include "main.h"
#include "phaselog.h"
#include "rodload.h"
#include "rodmodel.h"
#include "rodprd.h"
#include "veriftr.h"

#include <QCoreApplication>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

namespace {

constexpr std::size_t TOOL_DIR_SIZE = 2200;
constexpr std::size_t WORK_BUFFER_SIZE = 4096;

// Kept for the whole run and never released; held here so that it stays
// reachable (the leak checker reported it at every exit).
char *work_buffer = nullptr;

std::string run_timestamp;

// Qt must not write anything of its own on standard error.
void silent_message_handler(QtMsgType, const QMessageLogContext &, const QString &) {}

std::string find_tool_dir(const char *invocation_name)
{
    std::string tool_dir = getenv_copy("ZRM_DIR");
    if (!tool_dir.empty())
        return tool_dir;
    std::fprintf(stderr, "create ZRM_DIR from %s \n", invocation_name);
    tool_dir.assign(invocation_name, strnlen(invocation_name, TOOL_DIR_SIZE - 1));
    std::fprintf(stderr, "create ZRM_DIR from %s \n", tool_dir.c_str());
    // A separator in the first position does not count.
    const std::size_t cut = tool_dir.find_last_of("/\\");
    if (cut == std::string::npos || cut == 0) {
        std::fprintf(stderr, "ZRM_DIR not set, must be binary directory. Execution stopped.\n");
        process_exit(1);
    }
    tool_dir.resize(cut);
    return tool_dir;
}

// ZV_JOBS, checked before anything runs.
int postpro_jobs_setting()
{
    const std::string value = getenv_copy("ZV_JOBS");
    const std::optional<int> jobs = postpro_jobs(value, int(std::thread::hardware_concurrency()));
    if (!jobs)
        report_fatal("ENVJOBBAD", QString::fromLocal8Bit(value.c_str()), QString());
    return *jobs;
}

QByteArray banner_text(const char *source)
{
    return QCoreApplication::translate("MLVXIdent", source).toLocal8Bit();
}

void print_banner()
{
    work_buffer = static_cast<char *>(xmalloc(WORK_BUFFER_SIZE));
    const QByteArray title = banner_text(QT_TRANSLATE_NOOP("MLVXIdent", "System Testing Report Generator"));
    const QByteArray version = banner_text(QT_TRANSLATE_NOOP("MLVXIdent", "2.6.1.0.0.1"));
    const QByteArray product = banner_text(QT_TRANSLATE_NOOP("MLVXIdent", "Molvex"));
    const QByteArray notice =
        banner_text(QT_TRANSLATE_NOOP("MLVXIdent", "Copyright (c) 2026 the zovizeve developers"));
    const std::string line = xsprintf(" %s %s", title.constData(), version.constData());
    std::snprintf(work_buffer, WORK_BUFFER_SIZE, "%s", line.c_str());
    report_info("STARTEXEC", QString::fromLocal8Bit(product), QString::fromLocal8Bit(work_buffer));
    report_info("COPYRIGHT", QString::fromLocal8Bit(notice), QString());
}

// The report is all written: its memory is given back on a thread of its
// own while this one waits for the file to reach the disk (the UML tool
// then also finds that memory free). Without a thread, it is given back
// here first.
std::thread release_model_beside()
{
    try {
        return std::thread(model_release);
    } catch (const std::system_error &) {
        model_release();
        return {};
    }
}

void write_report(const MergedReport &report, const std::string &tool_dir)
{
    const std::string header = rdd_header_line(report);
    const char *given = cmdline_rdd_name(cmdline_record());
    char *name_text = sys_strdup(given ? given : "zrmrdd.rdd");
    // Written to a file that takes the target's place once complete: a
    // failed or interrupted write leaves the earlier report whole and
    // nothing else behind.
    ReplacingFile file;
    FILE *stream = rdd_stream_open(name_text, file);
    if (!stream)
        report_fatal("FICNOTOPN", QString::fromLocal8Bit(name_text), QString());
    bool finished = false;
    std::thread releasing;
    {
        const PhaseTimer timer(PHASE_WRITE);
        const bool written =
            write_rdd_lines(stream, header, report.tree, report.time_offset, report.names_in_heads);
        // A ROD file changed while its bytes were still being read: the
        // earlier report stays.
        const std::string changed = rod_file_changed();
        if (!changed.empty()) {
            rdd_stream_finish(stream, false, file);
            report_fatal("FICNOTOPN", QString::fromLocal8Bit(changed.data(), qsizetype(changed.size())), QString());
        }
        releasing = release_model_beside();
        finished = rdd_stream_finish(stream, written, file);
    }
    {
        const PhaseTimer timer(PHASE_FREE);
        if (releasing.joinable())
            releasing.join();
    }
    if (!finished)
        report_fatal("FICNOTOPN", QString::fromLocal8Bit(name_text), QString());
    {
        const PhaseTimer timer(phase_log().uml);
        run_uml_tool(name_text, tool_dir);
    }
    xfree(name_text);
    phase_log_write();
}

// The engine started beside the post-processor runs once their ROD file
// table is filled, and told of each file they write; ZV_ENGINE_AFTER_RUNS
// starts it after the last run instead (the output is the same: it is there
// to compare, and to rule the overlap out when a problem is hunted).
struct EngineBeside {
    bool time_mode = false;
    bool after_runs = false;
    RodPipeline *pipeline = nullptr;
};

void start_engine(void *context)
{
    auto &engine = *static_cast<EngineBeside *>(context);
    if (!engine.after_runs)
        engine.pipeline = rod_pipeline_start(engine.time_mode);
}

void rod_written(void *context, int slot)
{
    auto &engine = *static_cast<EngineBeside *>(context);
    if (engine.pipeline)
        rod_pipeline_written(*engine.pipeline, slot);
}

} // namespace

std::string rdd_header_line(const MergedReport &report)
{
    if (report.files == 0)
        report_fatal("UNEXPTEOF", QString(), QString());
    return "KORVA Probeworks \"v2.6a\" " + report.header_field + " \"RDD file\" \"" + run_timestamp + "\"";
}

int main(int argc, char **argv)
{
    qInstallMessageHandler(silent_message_handler);
    QCoreApplication application(argc, argv);
    localisation_setup(application, QStringList{QStringLiteral("zrm_"), QStringLiteral("mlvxident_"),
                                                QStringLiteral("cab_")});
    catalog_fill();
    postpro_status3_count = 0;
    install_out_of_memory_handler();
    model_memory_setup();
    option_language_init();
    const std::string tool_dir = find_tool_dir(argv[0]);

    std::string postpro_options;
    MergeSettings settings;
    if (!merge_options_decode(argc, argv, postpro_options, settings))
        report_fatal("INITPBRLM", QString(), QString());
    cmdline_read(argc, argv);
    const int jobs = postpro_jobs_setting();

    print_banner();
    run_timestamp = current_time_text();

    verify_input_files();
    EngineBeside engine{cmdline_time_requested(cmdline_record()), !getenv_copy("ZV_ENGINE_AFTER_RUNS").empty()};
    {
        const PhaseTimer timer(phase_log().postpro);
        run_postprocessors(tool_dir, postpro_options, settings, jobs, {start_engine, rod_written, &engine});
    }
    phase_log().runs_end = std::chrono::steady_clock::now();
    const MergedReport report =
        engine.pipeline ? rod_pipeline_finish(engine.pipeline) : rod_load_all(engine.time_mode);
    write_report(report, tool_dir);

    if (postpro_status3_count != 0) {
        report_info("ENDNOEWAR", QString(), QString::fromLatin1(xsprintf("%d", int(postpro_status3_count))));
        return 3;
    }
    report_info("ENDNOENWR", QString(), QString());
    return 0;
}
