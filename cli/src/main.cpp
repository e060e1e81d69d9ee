// vellari: the command-line tool. Messages go to stderr; usage errors exit 2, failures 1.

#include <exception>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "demo.h"

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
    app.set_version_flag("--version", std::string("vellari ") + VELLARI_VERSION);
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Log details");
    app.require_subcommand(0, 1);

    vellari::cli::DemoOptions demo;
    CLI::App* demoCmd = app.add_subcommand("demo", "Render photos through a short chain of built-in filters");
    demoCmd->add_option("-o,--output", demo.outputDir, "Folder for the rendered pictures")
        ->capture_default_str()
        ->check([](const std::string& s) { return s.empty() ? std::string("must not be empty") : std::string(); });
    demoCmd->add_option("photos", demo.photos, "Photos to render (default: the bundled sample photos)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version print on stdout and succeed; anything else is a usage error.
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (verbose) spdlog::set_level(spdlog::level::debug);

    if (!*demoCmd) {
        std::cerr << app.help() << "A command is required.\n";
        return 2;
    }

    try {
        return vellari::cli::runDemo(demo);
    } catch (const std::exception& e) {
        spdlog::error("{}", e.what());
        return 1;
    }
}
