// Placeholder until this concern is built: every call logs and fails.
#include "modules_common/zv_modules_common.h"
#include "common/zv_logger.h"

bool ZvModuleUniversal::make_backup() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::make_backup: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::make_restore(const bool&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::make_restore: not available in this build" << std::endl;
    return false;
}

bool ZvModuleUniversal::apply_replica() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::apply_replica: not available in this build" << std::endl;
    return false;
}

std::string ZvModuleUniversal::snapshot_directory_path() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::snapshot_directory_path: not available in this build" << std::endl;
    return std::string();
}

std::string ZvModuleUniversal::leveldb_directory_path() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::leveldb_directory_path: not available in this build" << std::endl;
    return std::string();
}

int ZvModuleUniversal::unpack_snapshot_file(const std::string&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::unpack_snapshot_file: not available in this build" << std::endl;
    return 1;
}

bool ZvModuleUniversal::close_backup(const bool&) {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::close_backup: not available in this build" << std::endl;
    return false;
}

void ZvModuleUniversal::remove_reference_snapshot_directory() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::remove_reference_snapshot_directory: not available in this build" << std::endl;
}

std::string ZvModuleUniversal::archive_sign_filename() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::archive_sign_filename: not available in this build" << std::endl;
    return std::string();
}

int ZvModuleUniversal::define_restore_directory() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::define_restore_directory: not available in this build" << std::endl;
    return 1;
}

void ZvModuleUniversal::close_restore() {
    ZvLogStream(ZvLogLvl::Error) << "ZvModuleUniversal::close_restore: not available in this build" << std::endl;
}

