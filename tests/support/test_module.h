// A minimal concrete module for unit tests of the framework: every module operation
// succeeds and does nothing, and the framework's protected state is public so a
// test can set it up and look at it. Derive from it to override a hook.
//
//   zv_test::TestModule module;
//   module.options_.module_params = "zvd_block_size:4096";
//   ASSERT_TRUE(module.parce_param_string());
//   EXPECT_EQ(module.block_size, 4096);
#pragma once

#include "common/zv_logger.h"
#include "modules_common/zv_modules_common.h"

#include <memory>
#include <string>
#include <vector>

namespace zv_test {

class TestModule : public ZvModuleUniversal {
public:
    explicit TestModule(const ZvModuleOptions& options = {}) : ZvModuleUniversal(options) {}

    bool prepare_resource_before_backup(const bool&) override { return true; }
    bool release_resource_after_backup() override { return true; }
    bool load_module_config() override { return true; }
    void usage_custom() override {}
    int check_client(const bool&) override { return 0; }
    std::string get_full_module_version() override { return "test"; }
    int list_header_labels() override { return 0; }
    int list_all_resources() override { return 0; }
    int list_all_resources_with_header_labels() override { return 0; }
    bool resource_exists() override { return true; }
    bool before_restore() override { return true; }
    bool after_restore() override { return true; }
    bool after_restore_last_file() override { return true; }
    bool deployment(const bool&) override { return true; }
    void autonomous_options() override {}
    void make_archiving() override {}

    void load_custom_module_parameters() override { ++custom_parameter_loads; }
    int custom_parameter_loads = 0;

    using ZvModuleUniversal::after_snapshot_script;
    using ZvModuleUniversal::before_snapshot_script;
    using ZvModuleUniversal::block_size;
    using ZvModuleUniversal::error_snapshot_script;
    using ZvModuleUniversal::file_list;
    using ZvModuleUniversal::hash_algorithm;
    using ZvModuleUniversal::hash_length;
    using ZvModuleUniversal::ignore_errors_snapshot;
    using ZvModuleUniversal::last;
    using ZvModuleUniversal::numeric_owner;
    using ZvModuleUniversal::options_;
    using ZvModuleUniversal::os_snapshot_size;
    using ZvModuleUniversal::os_snapshot_type;
    using ZvModuleUniversal::special_params;
    using ZvModuleUniversal::tmp_catalog;
    using ZvModuleUniversal::use_os_snapshot;
    using ZvModuleUniversal::without_deployment_restore;
    using ZvModuleUniversal::zvfd_flag_names;
    using ZvModuleUniversal::zvfd_flags;
};

// Collects the log lines of its lifetime ("Level: text", colours and time stamp
// left as composed) and keeps the process away from /opt/zelvor's logger file.
class LogCapture {
public:
    LogCapture() : lines_(std::make_shared<std::vector<std::string>>()) {
        ZvLogStream::read_config_ = false;
        ZvLogStream::global_log_level_ = ZvLogLvl::InfoMask;
        for (unsigned key : {0x1u, 0x2u, 0x3u, 0x4u, 0x7u, 0x8u, 0xfu, 0x1fu, 0x3fu, 0x7fu, 0xffu})
            ZvLogStream::set_log_level_logger(key);
        ZvLogStream::set_default_loggers(std::make_unique<Sink>(lines_));
    }
    ~LogCapture() { ZvLogStream::set_default_loggers(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return *lines_; }
    // Lines holding the fragment; colours do not get in the way of a fragment that
    // lies inside the text.
    int count(const std::string& fragment) const {
        int n = 0;
        for (const auto& line : *lines_) n += line.find(fragment) != std::string::npos;
        return n;
    }
    void clear() { lines_->clear(); }

private:
    class Sink : public ZvDestination::ZvLogger {
    public:
        explicit Sink(std::shared_ptr<std::vector<std::string>> lines) : lines_(std::move(lines)) {}

    protected:
        int write_log_impl(const std::string& text) override {
            lines_->push_back(text);
            return 0;
        }

    private:
        std::shared_ptr<std::vector<std::string>> lines_;
    };

    std::shared_ptr<std::vector<std::string>> lines_;
};

}  // namespace zv_test
