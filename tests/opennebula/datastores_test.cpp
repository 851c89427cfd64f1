// Datastore queries and the choice of a datastore with room, against the
// scripted onedatastore.
#include "opennebula/opennebula.h"

#include "opennebula/opennebula_standins.h"

#include <gtest/gtest.h>

#include <climits>

namespace one = zv_opennebula_common;

namespace {

class DatastoresTest : public one_test::ToolsTest {
protected:
    void pool(const std::string& datastores) {
        tools.reply({"onedatastore", "list", "-x"}, "<DATASTORE_POOL>" + datastores + "</DATASTORE_POOL>");
    }
    static std::string entry(const std::string& id, int type, int free_mb, const std::string& tm_mad) {
        return "<DATASTORE><ID>" + id + "</ID><TYPE>" + std::to_string(type) + "</TYPE><TM_MAD>" +
               tm_mad + "</TM_MAD><FREE_MB>" + std::to_string(free_mb) + "</FREE_MB></DATASTORE>";
    }
    void show(const std::string& id, const std::string& body, int status = 0) {
        tools.reply({"onedatastore", "show", id, "-x"}, body, status);
    }
};

TEST_F(DatastoresTest, ImageDatastoreNeedsMoreRoomThanAsked) {
    pool(entry("100", 1, 5000, "shared") + entry("1", 0, 100, "qcow2"));
    std::string id;
    ASSERT_EQ(one::get_any_image_datastore(99, id), 0);
    EXPECT_EQ(id, "1");
    EXPECT_EQ(one::get_any_image_datastore(100, id), 1);
    EXPECT_EQ(logged("get_any_datastore_by_type(int, TM_MAD_TYPE, const unsigned int&, "
                     "std::__cxx11::string&): can't find no suitable datastore for the datastore "
                     "type: \"0\""),
              1);
    // The driver plays no part for image datastores.
    ASSERT_EQ(one::get_any_datastore_by_type(0, TM_MAD_CEPH, 10, id), 0);
    EXPECT_EQ(id, "1");
}

TEST_F(DatastoresTest, SystemDatastoreMustHaveTheDriver) {
    pool(entry("0", 1, 1000, "shared") + entry("2", 1, 1000, "ssh") + entry("1", 0, 1000, "ssh"));
    std::string id;
    ASSERT_EQ(one::get_any_system_datastore_by_tm_mad(TM_MAD_SSH, 10, id), 0);
    EXPECT_EQ(id, "2");
    EXPECT_EQ(one::get_any_system_datastore_by_tm_mad(TM_MAD_QCOW2, 10, id), 1);
    EXPECT_EQ(logged(": can't find no suitable datastore for the datastore type: \"1\""), 1);
    // A driver that is no key of the table fails its text lookup.
    EXPECT_EQ(one::get_any_system_datastore_by_tm_mad(static_cast<TM_MAD_TYPE>(42), 10, id), 1);
    EXPECT_EQ(logged("get_any_datastore_by_type(int, TM_MAD_TYPE, const unsigned int&, "
                     "std::__cxx11::string&): map::at"),
              1)
        << log_text();
}

TEST_F(DatastoresTest, AHugeRequestFitsNowhere) {
    pool(entry("1", 0, INT_MAX, "qcow2") + entry("2", 0, -5, "qcow2"));
    std::string id;
    EXPECT_EQ(one::get_any_image_datastore(static_cast<unsigned>(INT_MAX) + 10u, id), 1);
    EXPECT_EQ(one::get_any_image_datastore(UINT_MAX, id), 1);
}

TEST_F(DatastoresTest, PoolFailuresAndOddEntries) {
    std::string id;
    pool("<DATASTORE><TYPE>0</TYPE><FREE_MB>500</FREE_MB></DATASTORE>");
    EXPECT_EQ(one::get_any_image_datastore(1, id), 1);
    EXPECT_EQ(logged(": got empty datastore ID"), 1);

    pool("<DATASTORE><ID>4</ID><TYPE>zero</TYPE></DATASTORE>");
    EXPECT_EQ(one::get_any_image_datastore(1, id), 1);
    EXPECT_EQ(logged("std::__cxx11::string&): stoi"), 1) << log_text();

    pool("<DATASTORE><ID>4</ID><FREE_MB>500</FREE_MB></DATASTORE>");  // no TYPE never fits
    EXPECT_EQ(one::get_any_image_datastore(1, id), 1);

    tools.reply({"onedatastore", "list", "-x"}, "<DATASTORE><ID>1</ID></DATASTORE>");
    EXPECT_EQ(one::get_any_image_datastore(1, id), 1);
    EXPECT_EQ(logged(": document of the wrong type, root node != DATASTORE_POOL"), 1);

    tools.reply({"onedatastore", "list", "-x"}, "auth failure", 255);
    EXPECT_EQ(one::get_any_image_datastore(1, id), 1);
    EXPECT_EQ(logged(": command was: /usr/bin/onedatastore list -x"), 1);
    EXPECT_EQ(logged("Command output: auth failure"), 1);
}

TEST_F(DatastoresTest, ShowQueriesReadOneElementEach) {
    show("1", "<DATASTORE><ID>1</ID><TYPE>2</TYPE><TM_MAD>lvm_lvm</TM_MAD><FREE_MB>77</FREE_MB>"
              "<TEMPLATE><SAFE_DIRS>/a </SAFE_DIRS><SAFE_DIRS>/b</SAFE_DIRS></TEMPLATE></DATASTORE>");
    int type = 9;
    ASSERT_EQ(one::get_datastore_type("1", type), 0);
    EXPECT_EQ(type, 2);
    EXPECT_EQ(one::get_datastore_tm_mad("1"), TM_MAD_LVM_LVM);
    int free_mb = 0;
    ASSERT_EQ(one::get_datastore_capacity_mb("1", free_mb), 0);
    EXPECT_EQ(free_mb, 77);
    std::string dirs;
    ASSERT_EQ(one::get_safe_dirs_from_datastore("1", dirs), 0);
    EXPECT_EQ(dirs, "/a /b");
    tools.reply({"onedatastore", "show", "1"}, "DATASTORE 1");
    EXPECT_TRUE(one::does_datastore_exist("1"));
    EXPECT_FALSE(one::does_datastore_exist("2"));
    EXPECT_EQ(log.lines().size(), 0u) << log_text();
}

TEST_F(DatastoresTest, ShowQueriesOnMissingElements) {
    show("3", "<DATASTORE><ID>3</ID><TM_MAD>vmfs</TM_MAD><FREE_MB></FREE_MB></DATASTORE>");
    int type = 0;
    EXPECT_EQ(one::get_datastore_type("3", type), 1);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(logged(": can't get type of datastore ID: \"3\""), 1);
    EXPECT_EQ(one::get_datastore_tm_mad("3"), TM_MAD_NONE);  // unknown driver, no message
    int free_mb = 5;
    EXPECT_EQ(one::get_datastore_capacity_mb("3", free_mb), 1);
    EXPECT_EQ(logged(": got empty FREE_MB value for datastore with ID 3"), 1);
    std::string dirs;
    EXPECT_EQ(one::get_safe_dirs_from_datastore("3", dirs), 1);
    EXPECT_EQ(logged(": got empty SAFE_DIRS value"), 1);
    EXPECT_EQ(log.lines().size(), 3u) << log_text();

    show("4", "<DATASTORE><ID>4</ID></DATASTORE>");
    free_mb = 5;
    EXPECT_EQ(one::get_datastore_capacity_mb("4", free_mb), 0);
    EXPECT_EQ(free_mb, 5);
    EXPECT_EQ(one::get_datastore_tm_mad("4"), TM_MAD_NONE);

    show("5", "<DATASTORE><TYPE>image</TYPE><FREE_MB>lots</FREE_MB></DATASTORE>");
    EXPECT_THROW(one::get_datastore_type("5", type), std::invalid_argument);
    EXPECT_EQ(one::get_datastore_capacity_mb("5", free_mb), 1);  // caught and logged
    EXPECT_EQ(logged("get_datastore_capacity_mb(const string&, int&): stoi"), 1);

    show("6", "denied", 255);
    EXPECT_EQ(one::get_datastore_tm_mad("6"), TM_MAD_NONE);
    EXPECT_EQ(logged("get_datastore_tm_mad(const string&): command was: /usr/bin/onedatastore show '6' -x"), 1);
    EXPECT_EQ(one::get_datastore_type("6", type), 1);
    EXPECT_EQ(logged("get_datastore_type(const string&, int&): command /usr/bin/onedatastore show '6' -x"), 1);
    show("7", "<<<");
    EXPECT_EQ(one::get_datastore_tm_mad("7"), TM_MAD_NONE);
    EXPECT_EQ(logged("get_datastore_tm_mad(const string&): Document not parsed successfully"), 1);
}

}  // namespace
