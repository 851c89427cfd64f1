// Signal handling of a module run.
#include "modules_common/zv_signal_handler.h"

ZvModuleUniversal* ZvModuleSignalHandler::module_ptr_ = nullptr;

ZvModuleSignalHandler::ZvModuleSignalHandler(ZvModuleUniversal* module) { module_ptr_ = module; }

ZvModuleSignalHandler::~ZvModuleSignalHandler() { module_ptr_ = nullptr; }
