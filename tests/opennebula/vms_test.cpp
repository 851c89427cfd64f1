// VM and host queries, VM actions and the VM lock, against the scripted onevm
// and onehost.
#include "opennebula/opennebula.h"

#include "common/zv_utils_common.h"
#include "opennebula/opennebula_standins.h"

#include <gtest/gtest.h>

namespace one = zv_opennebula_common;

namespace {

using Argv = std::vector<std::string>;

class VmsTest : public one_test::ToolsTest {
protected:
    void vm(const std::string& id, const std::string& body, int status = 0) {
        tools.reply({"onevm", "show", id, "-x"}, body, status);
    }
    void hosts(const std::string& body) {
        tools.reply({"onehost", "list", "-x"}, "<HOST_POOL>" + body + "</HOST_POOL>");
    }
    const std::string disks =
        "<VM><ID>7</ID><TEMPLATE><DISK><TARGET>vda</TARGET><DISK_ID>0</DISK_ID>"
        "<SOURCE>/var/lib/one/datastores/1/abc</SOURCE></DISK>"
        "<DISK><DISK_ID>1</DISK_ID><TARGET>vdb</TARGET><SOURCE></SOURCE></DISK>"
        "<DISK><TARGET>vdc</TARGET><DISK_ID></DISK_ID></DISK>"
        "<CONTEXT><ETH0_MAC>02:00:0a:00:00:07</ETH0_MAC></CONTEXT></TEMPLATE></VM>";
};

TEST_F(VmsTest, StateAndLcmState) {
    vm("7", "<VM><STATE>3</STATE><LCM_STATE>3</LCM_STATE><STATE>8</STATE></VM>");
    opennebula_vm_state state;
    ASSERT_EQ(one::get_VM_state("7", state), 0);
    EXPECT_EQ(state.state, 8);  // a later duplicate wins
    EXPECT_EQ(state.lcm_state, 3);

    vm("8", "<VM><STATE>8</STATE></VM>");
    opennebula_vm_state partial;
    EXPECT_EQ(one::get_VM_state("8", partial), 0);
    EXPECT_EQ(partial.lcm_state, -1);
    EXPECT_EQ(logged(": VM lcm_state wasn't found in XML"), 1);

    vm("9", "<VM><LCM_STATE>3</LCM_STATE></VM>");
    opennebula_vm_state none;
    EXPECT_EQ(one::get_VM_state("9", none), 1);
    EXPECT_EQ(logged("get_VM_state(const string&, opennebula_vm_state&): VM state wasn't found in XML"), 1);

    vm("10", "[onevm] VM 10 not found", 255);
    EXPECT_EQ(one::get_VM_state("10", none), 1);
    EXPECT_EQ(logged(": command /usr/bin/onevm show '10' -x"), 1);
    vm("11", "<VM_POOL/>");
    EXPECT_EQ(one::get_VM_state("11", none), 1);
    EXPECT_EQ(logged(": document of the wrong type, root node != VM"), 1);
    vm("12", "<VM><STATE>running</STATE></VM>");
    EXPECT_THROW(one::get_VM_state("12", none), std::invalid_argument);
}

TEST_F(VmsTest, DisksByTarget) {
    vm("7", disks);
    int disk_id = -1;
    std::string source;
    ASSERT_EQ(one::get_VM_diskID("7", "vdb", disk_id), 0);
    EXPECT_EQ(disk_id, 1);
    EXPECT_EQ(one::get_VM_diskID("7", "vdz", disk_id), 1);
    ASSERT_EQ(one::get_disk_id_and_source("7", "vda", disk_id, source), 0);
    EXPECT_EQ(disk_id, 0);
    EXPECT_EQ(source, "/var/lib/one/datastores/1/abc");
    EXPECT_EQ(log.lines().size(), 0u) << log_text();

    EXPECT_EQ(one::get_disk_id_and_source("7", "vdb", disk_id, source), 1);
    EXPECT_EQ(logged(": got empty disk source"), 1);
    EXPECT_EQ(one::get_disk_id_and_source("7", "vdc", disk_id, source), 1);
    EXPECT_EQ(logged(": got empty disk ID"), 1);
    EXPECT_EQ(one::get_disk_id_and_source("7", "vdz", disk_id, source), 1);

    vm("8", "down", 255);
    EXPECT_EQ(one::get_disk_id_and_source("8", "vda", disk_id, source), 1);
    EXPECT_EQ(logged(": can't get info for VM: 8"), 1);
    EXPECT_EQ(logged("Command was: /usr/bin/onevm show '8' -x"), 1);
    EXPECT_EQ(one::get_VM_diskID("8", "vda", disk_id), 1);
    EXPECT_EQ(logged("get_VM_diskID(const string&, const string&, int&): command /usr/bin/onevm show '8' -x"), 1);
}

TEST_F(VmsTest, IdMacAndNames) {
    vm("web", disks);
    std::string text;
    ASSERT_EQ(one::get_vm_id_by_name("web", text), 0);
    EXPECT_EQ(text, "7");
    ASSERT_EQ(one::get_eth0_mac_addr("web", text), 0);
    EXPECT_EQ(text, "02:00:0a:00:00:07");
    vm("bare", "<VM><TEMPLATE/></VM>");
    EXPECT_EQ(one::get_vm_id_by_name("bare", text), 1);
    EXPECT_EQ(logged(": can't get ID for VM: bare"), 1);
    EXPECT_EQ(one::get_eth0_mac_addr("bare", text), 1);

    tools.reply({"onevm", "list", "-x"},
                "<VM_POOL><VM><NAME>Web</NAME></VM><VM><NAME>db</NAME></VM></VM_POOL>");
    std::vector<std::string> names = {"kept"};
    ASSERT_EQ(one::get_vm_name_list(names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"kept", "Web", "db"}));
    EXPECT_TRUE(one::does_VM_name_exist("db"));
    EXPECT_FALSE(one::does_VM_name_exist("web"));
    tools.reply({"onevm", "list", "-x"}, "oned down", 255);
    EXPECT_FALSE(one::does_VM_name_exist("db"));
    EXPECT_EQ(logged(": command /usr/bin/onevm list -x produced an error"), 1);
    EXPECT_EQ(logged(": can't get list of VMs names"), 1);

    tools.reply({"onevm", "show", "7"}, "VM 7");
    EXPECT_TRUE(one::does_VM_id_exist("7"));
    EXPECT_FALSE(one::does_VM_id_exist("8"));
}

TEST_F(VmsTest, HostOfAVmAndThisHost) {
    const std::string node = zv_utils_common::get_nodename();
    hosts("<HOST><ID>0</ID><NAME>node-a</NAME><VMS><ID>3</ID></VMS>"
          "<TEMPLATE><HOSTNAME>elsewhere</HOSTNAME></TEMPLATE></HOST>"
          "<HOST><ID>4</ID><VMS><ID>17</ID></VMS><NAME>late-name</NAME></HOST>"
          "<HOST><ID>5</ID><NAME>node-b</NAME><VMS><ID>1</ID><ID>7</ID></VMS>"
          "<TEMPLATE><HOSTNAME>" + node + "</HOSTNAME></TEMPLATE></HOST>");
    std::string host;
    ASSERT_EQ(one::get_VM_host("7", host), 0);
    EXPECT_EQ(host, "node-b");
    EXPECT_EQ(one::get_VM_host("web", host), 1);   // IDs only
    EXPECT_EQ(one::get_VM_host("07", host), 1);
    ASSERT_EQ(one::get_VM_host("17", host), 0);  // a NAME after VMS does not count
    EXPECT_EQ(host, "");
    std::string id;
    ASSERT_EQ(one::get_node_id_for_current_host(id), 0);
    EXPECT_EQ(id, "5");
    EXPECT_EQ(logged(": current host name: " + node), 1);

    vm("7", "<VM><DEPLOY_ID>one-7</DEPLOY_ID></VM>");
    std::string deploy;
    ASSERT_EQ(one::get_VM_workplace("7", host, deploy), 0);
    EXPECT_EQ(host, "node-b");
    EXPECT_EQ(deploy, "one-7");
    vm("8", "<VM><DEPLOY_ID>one-8</DEPLOY_ID></VM>");
    host = "unchanged";
    EXPECT_EQ(one::get_VM_workplace("8", host, deploy), 1);
    EXPECT_EQ(host, "unchanged");
    EXPECT_EQ(logged(": can't get VM hostname"), 1);

    hosts("<HOST><ID>0</ID><TEMPLATE><HOSTNAME>elsewhere</HOSTNAME></TEMPLATE></HOST>");
    EXPECT_EQ(one::get_node_id_for_current_host(id), 1);
    EXPECT_EQ(id, "");

    tools.reply({"onehost", "list", "-x"}, "no pool", 255);
    EXPECT_EQ(one::get_VM_host("7", host), 1);
    EXPECT_EQ(logged("get_VM_host(const string&, std::__cxx11::string&): can't get pool of hosts, "
                     "command was/usr/bin/onehost list -x"),
              1);
    tools.reply({"onehost", "list", "-x"}, "<VM_POOL/>");
    EXPECT_EQ(one::get_node_id_for_current_host(id), 1);
    EXPECT_EQ(logged(": document of the wrong type, root node != HOST_POOL:"), 1);
}

TEST_F(VmsTest, PowerOffAndTerminate) {
    tools.reply({"onevm", "poweroff", "7", "--hard"}, "");
    EXPECT_EQ(one::shutdown_hard("7"), 0);
    tools.reply({"onevm", "poweroff", "8", "--hard"},
                "[one.vm.action] Error performing action \"poweroff\": This action is not "
                "available for state POWEROFF",
                255);
    EXPECT_EQ(one::shutdown_hard("8"), 0);
    EXPECT_EQ(logged("Warning: Trying to send poweroff command to shutdown VM: \"8\""), 1) << log_text();
    tools.reply({"onevm", "poweroff", "9", "--hard"}, "permission denied", 255);
    EXPECT_EQ(one::shutdown_hard("9"), 1);
    EXPECT_EQ(logged(": command was: /usr/bin/onevm poweroff '9' --hard"), 1);

    tools.reply({"onevm", "terminate", "7"}, "");
    EXPECT_EQ(one::terminate_vm("7"), 0);
    EXPECT_EQ(one::terminate_vm("8"), 1);
    EXPECT_EQ(logged("terminate_vm(const string&): unable to terminate the VM: 8"), 1);
    EXPECT_EQ(logged("Command was: /usr/bin/onevm terminate '8'"), 1);
}

TEST_F(VmsTest, LockIsConfirmedAndReleasedAtDestruction) {
    tools.reply({"onevm", "lock", "7", "--manage"}, "");
    vm("7", "<VM><ID>7</ID><LOCK><LOCKED>2</LOCKED><OWNER>0</OWNER></LOCK></VM>");
    tools.reply({"onevm", "unlock", "7"}, "");
    {
        one::VM_lock lock("7");
        EXPECT_TRUE(lock.is_locked());
        EXPECT_EQ(logged("VM '7' has been locked"), 1);
    }
    EXPECT_EQ(logged("VM '7' has been unlocked"), 1);
    EXPECT_EQ(tools.calls(), (std::vector<Argv>{{"onevm", "lock", "7", "--manage"},
                                                {"onevm", "show", "7", "-x"},
                                                {"onevm", "unlock", "7"}}));
}

TEST_F(VmsTest, UnconfirmedLockIsNotHeldButReleasedOnce) {
    struct Case {
        int lock_status;
        std::string show;
        int show_status;
        std::string message;
    };
    const Case cases[] = {
        {255, "", 0, ": unable to lock VM: 7"},
        {0, "<VM><ID>7</ID></VM>", 0, ": unable to lock VM: 7"},
        {0, "<VM><LOCK/><LOCK><LOCKED>1</LOCKED></LOCK></VM>", 0, ": unable to lock VM: 7"},
        {0, "gone", 255, ": unable to make sure that VM '7' is locked"},
        {0, "{", 0, ": XML document not parsed successfully, unable to make sure that VM '7' is locked"},
        {0, "<IMAGE/>", 0, ": document of the wrong type, root node != VM,"},
    };
    tools.reply({"onevm", "unlock", "7"}, "");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.show);
        log.clear();
        boost::filesystem::remove(tools.dir() / "calls.log");
        tools.reply({"onevm", "lock", "7", "--manage"}, "denied", c.lock_status);
        vm("7", c.show, c.show_status);
        {
            one::VM_lock lock("7");
            EXPECT_FALSE(lock.is_locked());
            EXPECT_EQ(logged("Warning: void zv_opennebula_common::VM_lock::lock_manage_actions("
                             "const string&)" + c.message),
                      1)
                << log_text();
        }
        // A lock OpenNebula granted is released, confirmed or not; a refused one is not.
        int unlocks = 0;
        for (const auto& call : tools.calls()) unlocks += call == Argv{"onevm", "unlock", "7"};
        EXPECT_EQ(unlocks, c.lock_status == 0 ? 1 : 0);
    }
}

TEST_F(VmsTest, LockRecordsTheVmItLocksAndReleasesEachOnce) {
    const std::string locked = "<VM><LOCK><LOCKED>2</LOCKED></LOCK></VM>";
    for (const char* id : {"7", "8"}) {
        tools.reply({"onevm", "lock", id, "--manage"}, "");
        vm(id, locked);
        tools.reply({"onevm", "unlock", id}, "");
    }
    {
        one::VM_lock idle;  // a default-built lock locks nothing and releases nothing
    }
    EXPECT_TRUE(tools.calls().empty());
    {
        one::VM_lock lock;
        lock.lock_manage_actions("7");
        EXPECT_TRUE(lock.is_locked());
        EXPECT_EQ(logged("VM '7' has been locked"), 1);
        // Locking another VM first releases the one held.
        lock.lock_manage_actions("8");
        EXPECT_TRUE(lock.is_locked());
        EXPECT_FALSE(lock.unlock());
        EXPECT_FALSE(lock.unlock());  // nothing left to release
    }
    EXPECT_EQ(tools.calls(), (std::vector<Argv>{{"onevm", "lock", "7", "--manage"},
                                                {"onevm", "show", "7", "-x"},
                                                {"onevm", "unlock", "7"},
                                                {"onevm", "lock", "8", "--manage"},
                                                {"onevm", "show", "8", "-x"},
                                                {"onevm", "unlock", "8"}}));

    // While the held lock cannot be released, no second VM is locked.
    boost::filesystem::remove(tools.dir() / "calls.log");
    tools.reply({"onevm", "unlock", "7"}, "busy", 255);
    {
        one::VM_lock lock("7");
        lock.lock_manage_actions("8");
        EXPECT_EQ(logged(": VM '7' is still locked by this object, VM '8' is not locked"), 1);
        EXPECT_FALSE(lock.lock("8"));
        tools.reply({"onevm", "unlock", "7"}, "");
    }
    for (const auto& call : tools.calls()) EXPECT_NE(call, (Argv{"onevm", "lock", "8", "--manage"}));
    EXPECT_EQ(tools.calls().back(), (Argv{"onevm", "unlock", "7"}));
}

TEST_F(VmsTest, FailedUnlockKeepsTheLockAndTriesAgain) {
    tools.reply({"onevm", "lock", "7"}, "");
    tools.reply({"onevm", "unlock", "7"}, "busy", 255);
    {
        one::VM_lock lock;
        EXPECT_TRUE(lock.lock("7"));
        EXPECT_EQ(logged("VM 7 has been locked"), 1);
        EXPECT_TRUE(lock.unlock());
        EXPECT_EQ(logged("bool zv_opennebula_common::VM_lock::unlock(): can't unlock VM: 7"), 1);
        tools.reply({"onevm", "unlock", "7"}, "");
    }
    EXPECT_EQ(logged("VM '7' has been unlocked"), 1);
    int unlocks = 0;
    for (const auto& call : tools.calls()) unlocks += call == Argv{"onevm", "unlock", "7"};
    EXPECT_EQ(unlocks, 2);

    one::VM_lock refused;
    tools.reply({"onevm", "lock", "8"}, "no", 255);
    EXPECT_FALSE(refused.lock("8"));
}

}  // namespace
