// The module base class: construction, start-up and the one-operation dispatch.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_version.h"

#include <boost/filesystem.hpp>

#include <unistd.h>

#include <iostream>

namespace {
const char* const init_signature = "bool ZvModuleUniversal::init(int, char**)";
const char* const run_signature = "unsigned int ZvModuleUniversal::run()";
}  // namespace

ZvModuleUniversal::ZvModuleUniversal(const ZvModuleOptions& options) : options_(options) {
    init_zvfd_flags();
}

ZvModuleUniversal::~ZvModuleUniversal() {
    // Default signal actions come back before anything else is torn down.
    signal_handler.reset();
}

bool ZvModuleUniversal::init(int argc, char** argv) {
    signal_handler = std::make_unique<ZvModuleSignalHandler>(this);
    if (!parse_module_options(argc, argv, options_)) return false;

    const auto op = options_.operation;
    if (op != ZvModuleOperations::Backup && op != ZvModuleOperations::Restore &&
        op != ZvModuleOperations::DeleteFromClientDefinedStorage &&
        op != ZvModuleOperations::VerifyInClientDefinedStorage)
        return true;
    if (options_.need_esign) return true;

    if (!load_client_defined_storages()) {
        ZvLogStream(ZvLogLvl::Error) << init_signature
                                     << ": Can't load cliend defined storages info" << std::endl;
        return false;
    }
    if (client_defined_storages.empty() || client_defined_storage_prepare()) return true;
    ZvLogStream(ZvLogLvl::Error) << init_signature
                                 << ": can't prepare the module to work with client defined storage"
                                 << std::endl;
    return false;
}

unsigned int ZvModuleUniversal::run() {
    using Op = ZvModuleOperations;
    const Op op = options_.operation;
    if (options_.need_esign) return need_esign_for_operation(op) ? 0 : 14;

    if (op >= Op::Backup && op <= Op::ApplyReplica) {
        std::cout << "MODULE PID:" << getpid() << std::endl;
    }

    auto load_config = [this]() {
        if (load_module_config()) return true;
        ZvLogStream(ZvLogLvl::Error) << "Unable to load configuration from config file."
                                     << std::endl;
        return false;
    };

    try {
        switch (op) {
            case Op::CheckClient:
                return load_config() ? check_client(true) : 2;
            case Op::UpdateConfig:
                return upgrade_config() ? 0 : 1;
            case Op::ListAllResources:
                return load_config() ? list_all_resources() : 2;
            case Op::ListAllResourcesWithHeaders:
                return load_config() ? list_all_resources_with_header_labels() : 2;
            case Op::ListHeaders:
                return load_config() ? list_header_labels() : 2;
            case Op::BackupTypeQuery:
                switch (options_.backup_type) {
                    case 1:
                        return 0;
                    case 2:
                        if (options_.supports_incremental) return 0;
                        ZvLogStream(ZvLogLvl::Error)
                            << run_signature << ": incremental backup is not supported by module "
                            << options_.module_path << std::endl;
                        return 3;
                    case 3:
                        if (options_.supports_differential) return 0;
                        ZvLogStream(ZvLogLvl::Error)
                            << run_signature << ": differential backup is not supported by module "
                            << options_.module_path << std::endl;
                        return 3;
                    default:
                        ZvLogStream(ZvLogLvl::Error) << run_signature << ": unknown backup type!"
                                                     << std::endl;
                        return 3;
                }
            case Op::DedupQuery:
                return options_.supports_dedup ? 0 : 15;
            case Op::ArchivingQuery:
                return options_.supports_archiving ? 0 : 16;
            case Op::Backup:
            case Op::BackupList:
                return run_backup(false);
            case Op::Restore:
                return run_restore(false);
            case Op::CreateReplica:
                return run_backup(true);
            case Op::ApplyReplica:
                return run_restore(true);
            case Op::Version:
                std::cout << zelvor::version_current << std::endl;
                return 0;
            case Op::ShowBackupOptions:
                autonomous_options();
                return 0;
            case Op::AutonomousQuery:
                return options_.supports_autonomous ? 0 : 14;
            case Op::ShowModuleProperties:
                module_properties();
                return 0;
            case Op::RestoreParameters:
                list_restore_parameters();
                return 0;
            case Op::DeleteFromClientDefinedStorage: {
                if (!load_config()) return 2;
                if (options_.delete_json.empty()) {
                    ZvLogStream(ZvLogLvl::Error) << "Empty json content" << std::endl;
                    return 14;
                }
                std::vector<std::pair<int, std::string>> list;
                if (!parse_json_of_client_defined_storage(options_.delete_json, list)) {
                    ZvLogStream(ZvLogLvl::Error) << run_signature << ": can't parse json"
                                                 << std::endl;
                    return 12;
                }
                return run_with_meta_file_unpacked_aside(
                    [&] { return delete_from_client_defined_storage(list) ? 0u : 12u; });
            }
            case Op::VerifyInClientDefinedStorage:
                if (!load_config()) return 2;
                return run_with_meta_file_unpacked_aside(
                    [this] { return verify_in_client_defined_storage() ? 0u : 12u; });
            case Op::None:
            default:
                return 1;
        }
    } catch (const boost::filesystem::filesystem_error& e) {
        ZvLogStream(ZvLogLvl::Error) << run_signature << ": filesystem error: " << e.what()
                                     << std::endl;
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << run_signature << ": Database error: " << e.what()
                                     << std::endl;
    }
    return 13;
}
