// vellari: the command-line tool. Messages go to stderr; usage errors exit 2, failures 1.

#include <exception>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "demo.h"
#include "sheets_command.h"
#include "style_command.h"
#include "vellari/app/storage_manager.h"
#include "vellari/platform/simd.h"

#ifndef VELLARI_VERSION
#define VELLARI_VERSION "unknown"
#endif

namespace {

// "error: " and "warning: " before those messages, nothing before plain information.
class SeverityFlag final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override {
        std::string_view s;
        switch (msg.level) {
            case spdlog::level::critical:
            case spdlog::level::err: s = "error: "; break;
            case spdlog::level::warn: s = "warning: "; break;
            case spdlog::level::debug:
            case spdlog::level::trace: s = "debug: "; break;
            default: break;
        }
        dest.append(s.data(), s.data() + s.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<SeverityFlag>(); }
};

void setUpLogging() {
    auto logger = spdlog::stderr_color_mt("vellari");
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<SeverityFlag>('*').set_pattern("vellari: %^%*%$%v");
    logger->set_formatter(std::move(formatter));
    spdlog::set_default_logger(logger);
}

}  // namespace

int main(int argc, char** argv) {
    setUpLogging();

    CLI::App app{"Vellari turns photos into illustrated pictures.", "vellari"};
    // The second line names the instruction set the kernels run on (after VELLARI_SIMD).
    app.set_version_flag("--version", [] {
        return std::string("vellari ") + VELLARI_VERSION + "\nsimd: " + vellari::simd::targetName();
    });
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Log details");
    app.require_subcommand(0, 1);

    auto nonEmpty = [](const std::string& s) { return s.empty() ? std::string("must not be empty") : std::string(); };

    vellari::cli::StyleOptions style;
    CLI::App* styleCmd = app.add_subcommand("style", "Style photos as the camera styles a still it exports");
    styleCmd->add_option("inputs", style.inputs, "Photos to style (PNG, JPEG, TIFF or WebP)")->required();
    styleCmd->add_option("-s,--style", style.style,
                         "Style by name (line break written as a space, any case) or index; default the first");
    styleCmd->add_option("-r,--resolution", style.resolution,
                         "small, medium, large or giant: short side 1080, 1620, 2160 or 3240 pixels "
                         "(default: the imageCaptureResolution setting)");
    styleCmd->add_option("-a,--adjust", style.adjust,
                         "KIND=VALUE, repeatable: brightness=0.3, shadowColor=red:0.2, ...")
        ->allow_extra_args(false);
    styleCmd->add_option("-o,--output", style.output,
                         "Output file (one input) or folder; default: next to each input as <name>-<style>.<ext>")
        ->check(nonEmpty);
    styleCmd->add_option("-f,--format", style.format, "jpeg, png or webp (default: from --output, else jpeg)");
    styleCmd->add_flag("--overwrite", style.overwrite, "Replace existing output files");
    styleCmd->add_option("-j,--jobs", style.jobs, "Photos styled at once (default 2)")->check(CLI::Range(1, 64));

    vellari::cli::StylesOptions styles;
    CLI::App* stylesCmd = app.add_subcommand("styles", "List the styles with their index and name");
    stylesCmd->add_flag("--all", styles.all, "Also the mono, zip and anime styles");

    vellari::cli::SheetsOptions sheets;
    CLI::App* sheetsCmd =
        app.add_subcommand("sheets", "Render every style on photos: a contact sheet and a picture per style");
    sheetsCmd->add_option("photos", sheets.photos, "Photos (default: the bundled sample photos)");
    sheetsCmd->add_option("-o,--output", sheets.outputDir, "Folder for the sheets and pictures")
        ->capture_default_str()
        ->check(nonEmpty);
    sheetsCmd->add_option("-r,--resolution", sheets.resolution,
                          "small, medium, large or giant (default: the imageCaptureResolution setting)");
    sheetsCmd->add_option("--cell", sheets.cell, "Long side of each picture on a sheet, in pixels")
        ->capture_default_str()
        ->check(CLI::Range(64, 1024));
    sheetsCmd->add_flag("--overwrite", sheets.overwrite, "Replace the files of an earlier run");
    sheetsCmd->add_option("-j,--jobs", sheets.jobs, "Styles rendered at once (default 2)")->check(CLI::Range(1, 64));

    vellari::cli::DemoOptions demo;
    CLI::App* demoCmd = app.add_subcommand("demo", "Render photos through a short chain of built-in filters");
    demoCmd->add_option("-o,--output", demo.outputDir, "Folder for the rendered pictures")
        ->capture_default_str()
        ->check(nonEmpty);
    demoCmd->add_option("photos", demo.photos, "Photos to render (default: the bundled sample photos)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version print on stdout and succeed; anything else is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (verbose) spdlog::set_level(spdlog::level::debug);

    if (app.get_subcommands().empty()) {
        std::cerr << app.help() << "A command is required.\n";
        return 2;
    }

    try {
        // What the application registers at start, so unset settings read as it reads them.
        vellari::StorageManager().registerDefaults();
        if (*styleCmd) return vellari::cli::runStyle(style);
        if (*stylesCmd) return vellari::cli::runStyles(styles);
        if (*sheetsCmd) return vellari::cli::runSheets(sheets);
        return vellari::cli::runDemo(demo);
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return 1;
    }
}
