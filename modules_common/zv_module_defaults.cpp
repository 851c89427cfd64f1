// Default behaviour of the framework operations a module may override.
#include "modules_common/zv_modules_common.h"

bool ZvModuleUniversal::check_supported_client_defined_storage(int) { return false; }
void ZvModuleUniversal::list_restore_parameters() {}
void ZvModuleUniversal::load_custom_module_parameters() {}
bool ZvModuleUniversal::need_esign_for_operation(ZvModuleOperations operation) {
    return operation == ZvModuleOperations::VerifyInClientDefinedStorage;
}
int ZvModuleUniversal::get_config_option_presence_type(const std::string&) { return 0; }
std::string ZvModuleUniversal::resolve_config_option_merge_conflict(const std::string&,
                                                                    const std::string& old_value) {
    return old_value;
}
