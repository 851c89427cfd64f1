// Entry point of the KVM backup module: logging, capabilities, one operation.
#include "common/zv_logger.h"
#include "kvm/zv_module_kvm.h"

#include <boost/filesystem/path.hpp>

int main(int argc, char** argv) {
    // A process may be started with an empty argv; option parsing and the log file
    // name still need a program name.
    char fallback_name[] = "zv_module_kvm";
    char* fallback_argv[] = {fallback_name, nullptr};
    if (argc < 1 || !argv || !argv[0]) {
        argc = 1;
        argv = fallback_argv;
    }
    std::string log_name = boost::filesystem::path(argv[0]).filename().string();
    if (log_name.empty()) log_name = fallback_name;
    const std::string log_path = "/opt/zelvor/log/" + log_name + ".log";

    ZvLogStream::set_default_loggers(ZvDestination::File(log_path), ZvDestination::Stdout());
    ZvLogStream::set_log_level_logger(ZvLogLvl::Error, ZvDestination::File(log_path),
                                      ZvDestination::Stdout());

    ZvModuleOptions options;
    options.supports_incremental = true;
    options.supports_differential = true;
    options.supports_dedup = true;
    options.supports_archiving = false;
    options.supports_autonomous = false;
    options.single_data_source = true;
    options.restriction_list_path = "/opt/zelvor/etc/zelvor_restriction.list.kvm";

    ZvModuleKvm module(options);
    if (module.init(argc, argv)) return static_cast<int>(module.run());
    ZvLogStream(ZvLogLvl::Error) << "Wrong combination of options" << std::endl;
    return 14;
}
