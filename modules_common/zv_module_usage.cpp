// The usage text and the module-properties listing.
#include "modules_common/zv_modules_common.h"

#include <iomanip>
#include <iostream>

void ZvModuleUniversal::usage(const std::string& module_path) {
    std::cout << "This utility is a part of Zelvor project" << std::endl;
    std::cout << "Version: " << get_full_module_version() << std::endl;
    std::cout << "Usage: " << module_path << std::endl;
    static const char* const lines[] = {
        "       -V (show version)",
        "       -u path_to_old_config:path_to_new_config:path_to_update_config (Update configuration file)",
        "       -1 (Full backup supported? It returns 0 if yes)",
        "       -2 (Incremental backup supported? It returns 0 if yes)",
        "       -3 (Differential backup supported? It returns 0 if yes)",
        "       -D (Is client-side deduplication supported? It returns 0 if yes",
        "       -a (Does module support archiving? It returns 0 if yes",
        "       -h (this message)",
        "       -c (list header labels if module is not browsable)",
        "       -l (list all resources at this client without headers if module is not browsable)",
        "       -L (list all resources at this client with headers if module is not browsable)",
        "       -1 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory  [ -m media_server -T task_id | --autonomous ]-n archive_name [ -z compress_type ] [ -j ] [ -p parallelism ] [ -a ] (create full backup or make archiving with -a option )",
        "       -2 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create incremental backup)",
        "       -3 [ -C crypto algorithm -k key_file ] ] -b resource -d tmp_operation_directory [ -m media_server -T task_id | --autonomous ]-n archive_name -s reference_snapshot [ -z compress_type ] [ -j ] [ -p parallelism ] (create differential backup)",
        "       -r record_id [ -m media_server | --autonomous ] [ -C crypto algorithm -k key_file ] [ -p parallelism ] -d destination_directory [ -i archive_to_patch ] (restore record ID)",
        "       -t (check the ability to run the module on this client)",
        "       --show-backup-options (show supported module special backup options)",
        "       --show-module-properties",
        "       -o (List restore options)",
        "       --autonomous (Autonomous mode supported? It returns 0 if yes)",
        "compress_type: 1 - no compress, 2 - fast, 3 - optimal, 4 - best",
        "       Remote replication: ",
        "       -A resource -B max_block_count [ -C crypto algorithm -k key_file ] -d tmp_operation_directory -m media_server -T task_id -n archive_name [ -p parallelism ] (create replica) ",
        "       -R record_id -B max_block_count [ -C crypto algorithm -k key_file ] -d destination_resource -m media_server [ -p parallelism ] (apply remote replica)",
    };
    for (const char* line : lines) std::cout << line << std::endl;
    usage_custom();
}

void ZvModuleUniversal::module_properties() {
    auto label = [](const char* text) {
        std::cout << std::left << std::setw(67) << text << std::right << ": ";
    };
    auto flag = [&label](const char* text, bool value) {
        label(text);
        std::cout << (value ? "true" : "false") << std::endl;
    };
    std::cout << "Module properties:" << std::endl << std::endl;
    flag("Only one data source backup operation is allowed at one time", options_.single_data_source);
    flag("Does the module support working in the client's autonomous mode", options_.supports_autonomous);
    flag("Does the module support incremental backup", options_.supports_incremental);
    flag("Does the module support differential backup", options_.supports_differential);
    flag("Does this module support deduplication", options_.supports_dedup);
    flag("Does this module support archiving", options_.supports_archiving);
    label("Location of the restriction list");
    std::cout << options_.restriction_list_path << std::flush;
}
