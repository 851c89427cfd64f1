// The command-line option table and the checks that decide whether a
// combination of options is one operation this module can run.
#include "modules_common/zv_modules_common.h"

#include "common/config_file.h"
#include "common/zv_logger.h"
#include "common/zv_utils_common.h"

#include <boost/program_options.hpp>

#include <algorithm>
#include <iostream>
#include <limits>

namespace po = boost::program_options;

namespace {

const char* const parse_signature =
    "bool ZvModuleUniversal::parse_module_options(int, char**, ZvModuleOptions&)";

bool is_one_of(ZvModuleOperations op, std::initializer_list<int> allowed) {
    for (int a : allowed)
        if (static_cast<int>(op) == a) return true;
    return false;
}

// Unsigned options are read as text: the option library would take "-1" as
// 4294967295. Digits only (leading zeros allowed), at most 4294967295.
bool to_unsigned_option(const std::string& text, unsigned int& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long long number = 0;
    for (char digit : text) {
        number = number * 10 + static_cast<unsigned>(digit - '0');
        if (number > std::numeric_limits<unsigned int>::max()) return false;
    }
    value = static_cast<unsigned int>(number);
    return true;
}

// The archiver of a run in server mode is given both; without them it would get
// empty fields only after the lock, the resource and the snapshots were taken.
const char* server_mode_run(ZvModuleOperations op) {
    switch (op) {
        case ZvModuleOperations::Backup:
        case ZvModuleOperations::BackupList:
            return "Backup module: a backup to a media server";
        case ZvModuleOperations::CreateReplica:
            return "Backup module: a replica to a media server";
        case ZvModuleOperations::Restore:
            return "Restore: a restore from a media server";
        case ZvModuleOperations::ApplyReplica:
            return "Restore: a replica application from a media server";
        default:
            return nullptr;
    }
}

// The text in double quotes, each control character written as \xNN.
std::string with_visible_controls(const std::string& text) {
    std::string shown = "\"";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            const char digits[] = "0123456789abcdef";
            shown += std::string("\\x") + digits[c >> 4] + digits[c & 15];
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown + "\"";
}

}  // namespace

bool ZvModuleUniversal::parse_module_options(int argc, char** argv, ZvModuleOptions& options) {
    using Op = ZvModuleOperations;
    options.module_path = (argc > 0 && argv && argv[0]) ? argv[0] : "";
    if (argc <= 1) {
        usage(options.module_path);
        return false;
    }

    try {
        std::string parallelism, memory_threshold;
        po::options_description description("Options description", 80, 40);
        // clang-format off
        description.add_options()
            ("help,h", "this message")
            ("version,V", "show version")
            ("update-config,u", po::value<std::string>(&options.configs_list), "Update configuration file. Format: '<old config>:<new config>:<update config>' (Old config and/or update config may be empty. New config must be)")
            ("full,1", "Define full backup")
            ("incr,2", "Define inc backup")
            ("diff,3", "Define diff backup")
            ("autonomous", "Autonomous mode")
            ("show-backup-options", "Show special backup options for autonomous mode")
            ("show-module-properties", "Show module properties")
            ("create-replica,A", po::value<std::string>(&options.resource), "Create a replica of resource")
            ("is-archiving-supported,a", "Is archiving supported?")
            ("backup,b", po::value<std::string>(&options.resource), "Backup a resource")
            ("backup_list,B", po::value<std::string>(&options.resource), "Path to a json file containing list of resources to backup")
            ("crypto,C", po::value<std::string>(&options.crypto_algorithm), "Crypto algorithm")
            ("list-headers,c", "List headers, if module is not browsable")
            ("is-dedup-supported,D", "Is deduplication supported?")
            ("tmp-operation-directory,d", po::value<std::string>(&options.tmp_operation_directory), "Temporary operation directory")
            ("module-params,e", po::value<std::string>(&options.module_params), "Module parameters")
            ("archive-to-patch,i", po::value<std::string>(&options.archive_to_patch), "Archive to patch")
            ("local-restrictions,j", "Enable local restrictions")
            ("key-file,k", po::value<std::string>(&options.key_file), "Crypto algorithm")
            ("list-all-resource,l", "List all resource, if module is not browsable")
            ("list-all-resource--with-headers,L", "List all resource with headers, if module is not browsable")
            ("media-server,m", po::value<std::string>(&options.media_server), "Define media server")
            ("archive-name,n", po::value<std::string>(&options.archive_name), "Define created archive name")
            ("meta-file,M", po::value<std::string>(&options.meta_file), "Define meta or snapshot file name")
            ("parallelism,p", po::value<std::string>(&parallelism), "Parallelism")
            ("apply-replica,R", po::value<std::string>(&options.record_id), "Apply replica record ID")
            ("restore,r", po::value<std::string>(&options.record_id), "Restore record ID")
            ("reference-snapshot,s", po::value<std::string>(&options.reference_snapshot), "Reference snapshot")
            ("task-id,T", po::value<std::string>(&options.task_id), "Task ID")
            ("check-client,t", "Check whether the module can work on the client")
            ("compress,z", po::value<int>(&options.compress_type), "Compress")
            ("granular-list,f", po::value<std::string>(&options.granular_list), "List of files for granular restore")
            ("granular-entities,g", po::value<std::string>(&options.granular_entities), "List of entities for granular restore")
            ("dgst", "generate signature for backup")
            ("restore-parameters,o", "List restore parameters")
            ("memory-threshold,G", po::value<std::string>(&memory_threshold), "Allowed amount of memory")
            ("delete_from_client_defined_storage", po::value<std::string>(&options.delete_json), "Delete the backup according to the json content from client defined storage")
            ("verify_in_client_defined_storage", "Verify the backup according to the json content in client defined storage")
            ("need_esign", "Check if esign info is needed for operation")
            ("sign_hash", po::value<std::string>(&options.sign_hash), "Signature hash")
            ("esign", po::value<std::string>(&options.esign_json), "Signature json")
            ("client-archive", po::value<std::string>(&options.archive_name), "Archive name for client restore.");
        // clang-format on

        po::variables_map vm;
        // No option takes free words: a stray word (an unquoted path with a blank,
        // say) is refused instead of silently dropped.
        const po::positional_options_description no_positional;
        po::store(po::command_line_parser(argc, argv)
                      .options(description)
                      .positional(no_positional)
                      .run(),
                  vm);
        po::notify(vm);
        const std::pair<const char*, std::pair<const std::string*, unsigned int*>> numbers[] = {
            {"parallelism", {&parallelism, &options.parallelism}},
            {"memory-threshold", {&memory_threshold, &options.memory_threshold}},
        };
        for (const auto& [name, field] : numbers) {
            if (vm.count(name) && !to_unsigned_option(*field.first, *field.second)) {
                ZvLogStream(ZvLogLvl::Error)
                    << parse_signature << ": the argument ('" << *field.first << "') for option '--"
                    << name << "' is invalid: a whole number from 0 to "
                    << std::numeric_limits<unsigned int>::max() << " is needed" << std::endl;
                return false;
            }
        }

        if (vm.count("help")) {
            usage(options.module_path);
            std::cout << description << std::endl;
            return true;
        }

        auto given = [&vm](const char* name) { return vm.count(name) > 0; };
        // An operation option is refused when another one already chose the operation.
        auto select = [&options](std::initializer_list<int> allowed, Op next) {
            if (!is_one_of(options.operation, allowed)) return false;
            options.operation = next;
            return true;
        };
        auto error = [](const std::string& text) {
            ZvLogStream(ZvLogLvl::Error) << text << std::endl;
            return false;
        };

        const std::pair<const char*, Op> simple[] = {
            {"version", Op::Version},
            {"update-config", Op::UpdateConfig},
            {"list-headers", Op::ListHeaders},
            {"list-all-resource--with-headers", Op::ListAllResourcesWithHeaders},
            {"delete_from_client_defined_storage", Op::DeleteFromClientDefinedStorage},
            {"verify_in_client_defined_storage", Op::VerifyInClientDefinedStorage},
            {"show-backup-options", Op::ShowBackupOptions},
            {"show-module-properties", Op::ShowModuleProperties},
            {"check-client", Op::CheckClient},
            {"list-all-resource", Op::ListAllResources},
        };
        for (const auto& [name, op] : simple) {
            if (given(name) && !select({0}, op)) return false;
        }
        const std::pair<const char*, int> types[] = {{"full", 1}, {"incr", 2}, {"diff", 3}};
        for (const auto& [name, type] : types) {
            if (!given(name)) continue;
            if (!select({0}, Op::BackupTypeQuery)) return false;
            options.backup_type = type;
        }
        if (given("is-dedup-supported") && !select({0}, Op::DedupQuery)) return false;

        if (given("backup")) {
            if (!select({0, 6}, Op::Backup)) return false;
            if (options.resource.empty()) return error("Resource is empty");
        }
        if (given("backup_list")) {
            if (!select({0, 6}, Op::BackupList)) return false;
            if (options.resource.empty())
                return error(std::string(parse_signature) + ": resource is empty");
            if (!options.resource_list.parse_json_file(options.resource))
                return error(std::string(parse_signature) +
                             ": can't parse json file: " + options.resource);
        }
        if (given("restore")) {
            if (!select({0}, Op::Restore)) return false;
            if (options.record_id.empty())
                return error(
                    "You must define restore object, record ID in server mode or archive file "
                    "for authonomous mode");
        }
        if (given("apply-replica")) {
            if (!select({0}, Op::ApplyReplica)) return false;
            if (options.record_id.empty()) return error("Record ID is empty");
        }
        if (given("create-replica")) {
            if (!select({0, 6}, Op::CreateReplica)) return false;
            if (options.resource.empty()) return error("Resource is empty");
        }
        if (given("autonomous")) {
            if (options.operation == Op::None) {
                options.operation = Op::AutonomousQuery;
            } else if (is_one_of(options.operation, {9, 10, 11})) {
                if (!options.media_server.empty())
                    return error("Can't use media server with autonomous mode");
                // A module without autonomous mode cannot honour it: refuse rather than
                // run a backup or restore the module does not support.
                if (!options.supports_autonomous)
                    return error("Autonomous mode is not supported by module " +
                                 options.module_path);
                options.autonomous = true;
            } else {
                return false;
            }
        }
        if (given("tmp-operation-directory")) {
            if (!is_one_of(options.operation, {9, 10, 11, 12, 13})) return false;
            if (options.operation == Op::ApplyReplica)
                options.replica_destination = options.tmp_operation_directory;
        }
        if (given("module-params") && !is_one_of(options.operation, {9, 10, 11, 12, 13, 19, 20}))
            return false;
        if (given("compress")) {
            if (!is_one_of(options.operation, {9, 10, 11, 12, 13})) return false;
            if (options.compress_type < 1 || options.compress_type > 4) options.compress_type = 1;
        }
        if (given("local-restrictions")) {
            if (!is_one_of(options.operation, {9, 10, 12})) return false;
            options.local_restrictions = true;
        }
        if (given("archive-name") && !is_one_of(options.operation, {9, 10, 12})) return false;
        if (given("is-archiving-supported")) {
            if (options.operation == Op::None) {
                options.operation = Op::ArchivingQuery;
            } else if (is_one_of(options.operation, {9, 10}) && options.backup_type == 1) {
                if (!options.supports_archiving)
                    return error("Archiving is not supported by module " + options.module_path);
                options.archiving = true;
                std::cout << "Archiving mode: the module '" << options.module_path
                          << "' will delete the resource after the task is completed" << std::endl;
            } else {
                return false;
            }
        }
        if (given("reference-snapshot")) {
            if (!is_one_of(options.operation, {9, 10})) return false;
            if (options.backup_type == 1)
                return error("Reference snapshot cannot be defined for full backup.");
        }
        // Such runs could only fail, and only at the archiver, after the guest programs,
        // the snapshot and the merge: refuse them before anything is touched. A start
        // with --need_esign only asks a question and runs nothing, so it is not held
        // to what a run needs.
        const bool real_run = !given("need_esign");
        if (real_run && is_one_of(options.operation, {9, 10}) && options.backup_type != 1 &&
            options.reference_snapshot.empty())
            return error("An incremental or differential backup needs the reference snapshot "
                         "of an earlier backup: option -s is missing");
        if (real_run && options.operation == Op::CreateReplica && options.backup_type != 1)
            return error("A replica is always a full copy: an incremental or differential "
                         "replica would need a reference snapshot (-s), which a replica does "
                         "not take");
        if (given("media-server")) {
            if (!is_one_of(options.operation, {9, 10, 11, 12, 13})) return false;
            if (options.autonomous) return error("Can't use a media server with autonomous mode");
        }
        if (given("task-id")) {
            if (!is_one_of(options.operation, {9, 10, 11, 12, 13, 19, 20}))
                return error("Operation " + std::to_string(static_cast<int>(options.operation)) +
                             " incompatible with task ID");
            if (options.media_server.empty() && !is_one_of(options.operation, {19, 20}) &&
                !options.autonomous)
                return error("You must define media-server before task ID");
            // The task id names files in the task directory: it must stay a plain name.
            if (options.task_id == "." || options.task_id == ".." ||
                options.task_id.find('/') != std::string::npos)
                return error("Task ID must be a plain name without '/': " + options.task_id);
        }
        if (given("granular-list") && options.operation != Op::Restore)
            return error("The '-r' option must also be specified for granular restore\n");
        if (given("dgst") && is_one_of(options.operation, {9, 10, 12})) options.dgst = true;
        if (given("restore-parameters") && !select({0}, Op::RestoreParameters)) return false;
        if (given("need_esign")) options.need_esign = true;

        // A restore or replica application unpacks into a directory under -d and
        // later removes it recursively: without -d that would be a directory at "/".
        if (is_one_of(options.operation, {11, 13}) && options.tmp_operation_directory.empty())
            return error("A restore or replica application needs a temporary operation "
                         "directory: option -d is missing");
        // Files the run will read: a FIFO or a device at their path would hold it (or
        // feed it without end) once the lock is taken and the resource prepared.
        std::vector<std::pair<std::string, std::string>> files;
        if (given("reference-snapshot"))
            files.emplace_back("Reference snapshot file", options.reference_snapshot);
        if (given("meta-file")) files.emplace_back("Meta or snapshot file", options.meta_file);
        if (options.local_restrictions)
            files.emplace_back("Local restriction list", options.restriction_list_path);
        if (real_run && server_mode_run(options.operation) && !options.task_id.empty())
            files.emplace_back("Task secret file", get_task_secret());
        for (const auto& [what, path] : files) {
            std::string reason;
            if (!path.empty() && !zv_utils_common::is_regular_file_or_absent(path, reason))
                return error(what + " " + zelvor::as_quoted(path, '"', '\\') + " can't be used: " +
                             reason);
        }
        if (const char* run = server_mode_run(options.operation);
            run && real_run && !options.autonomous &&
            (options.media_server.empty() || options.task_id.empty()))
            return error(std::string(run) + " needs both -m media_server and -T task_id.");

        // These names reach file names, lock names, virsh and the archiver's list,
        // which are read line by line and word by word: a tab, a line feed or another
        // control character would split them there into something else.
        const std::pair<const char*, const std::string*> names[] = {
            {"Resource name", &options.resource},
            {"Archive name", &options.archive_name},
            {"Record ID", &options.record_id}};
        for (const auto& [what, value] : names) {
            if (std::any_of(value->begin(), value->end(),
                            [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
                return error(std::string(what) + " must not hold a tab, a line feed or another "
                             "control character: " + with_visible_controls(*value));
        }

        return parce_param_string();
    } catch (const std::exception& e) {
        ZvLogStream(ZvLogLvl::Error) << parse_signature << ": " << e.what() << std::endl;
        return false;
    }
}
