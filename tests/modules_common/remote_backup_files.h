// The local side of a remote backup in a sandboxed case: the work directory named by
// the case's WORK variable, with a list file and the snapshot directory, the task
// secret and a restriction list in the sandbox's /opt/zelvor, and the options of a
// backup of them to `host`.
#pragma once

#include "modules_common/sandboxed_case.h"

#include <boost/filesystem.hpp>

#include <string>

namespace zv_test {

struct RemoteBackupFiles {
    std::string work = case_env("WORK");
    std::string list = work + "/zvfd.list";
    std::string restrictions = "/opt/zelvor/etc/restrictions.list";
    std::string snap_dir = work + "/vm1_full_1.snap_dir";
    std::string meta = snap_dir + "/vm1_full_1.meta";
    std::string secret = "/opt/zelvor/var/tasks//task_secret_77";

    RemoteBackupFiles() {
        write_text(list, "ZVFD file list:\n/var/lib/vm1.img : vm1.img\n");
        write_text(secret, "secret of task 77");
        write_text(restrictions, "/var/lib/private\n");
        boost::filesystem::create_directories(snap_dir);
    }
    ZvModuleOptions options(const std::string& host, bool local_restrictions) const {
        ZvModuleOptions result;
        result.remote_host = host;
        result.tmp_operation_directory = work;
        result.archive_name = "vm1_full_1";
        result.task_id = "77";
        result.media_server = "ms.example";
        result.resource_list_file = list;
        result.restriction_list_path = restrictions;
        result.local_restrictions = local_restrictions;
        return result;
    }
};

}  // namespace zv_test
