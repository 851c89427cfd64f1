// OpenNebula support library: queries of VMs, images, templates, datastores and
// hosts through OpenNebula's command-line tools, unique image signatures, the VM
// lock, VM disk discovery and the documents that re-create objects on restore.
//
// Conventions every function here follows unless its comment says otherwise:
// - Inputs are const references, outputs non-const references. The result is an
//   int, 0 on success and 1 on failure; does_* functions answer a bool. After a
//   failure an output may be partly written.
// - Tools run through zv_utils_common::execute_command; status 0 is success.
//   Every value from outside (ids, names, paths) passes through
//   zv_utils_common::shell_quote on its way into a command line.
// - XML is read by walking first-level children by name (has_name) and taking an
//   element's text with element_text; a parsed document is freed with xmlFreeDoc
//   exactly once by the function that parsed it.
// - Numbers are converted with std::stoi (base 10) and, for SIZE, std::stoull in
//   base 0 shifted left by 20. Conversion errors leave the function unless the
//   function says it catches std::exception.
// - Failures are logged at Error level: the function's signature, ": ", the
//   message; further lines hold the command line and the captured output.
#pragma once

#include "kvm/kvm_device_info.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// OpenNebula's transfer driver (TM_MAD) of a datastore or a VM disk.
enum TM_MAD_TYPE : int {
    TM_MAD_NONE = -1,  // no driver, or a driver text the library does not know
    TM_MAD_QCOW2 = 0,
    TM_MAD_CEPH = 1,
    TM_MAD_FS_LVM = 2,
    TM_MAD_LVM_LVM = 3,
    TM_MAD_LVM_THIN = 4,
    TM_MAD_SHARED = 5,
    TM_MAD_SSH = 6,
    TM_MAD_DEV = 7,
    TM_MAD_ISCSI = 8,
};

// An image's DISK_TYPE.
enum opennebula_disk_type : int {
    DISK_TYPE_FILE = 0,
    DISK_TYPE_CDROM = 1,
    DISK_TYPE_BLOCK = 2,
    DISK_TYPE_RBD = 3,
    DISK_TYPE_RBD_CDROM = 4,
    DISK_TYPE_GLUSTER = 5,
    DISK_TYPE_GLUSTER_CDROM = 6,
    DISK_TYPE_SHEEPDOG = 7,
    DISK_TYPE_SHEEPDOG_CDROM = 8,
    DISK_TYPE_ISCSI = 9,
};

// oneimage::disk_type while DISK_TYPE has been neither read nor derived.
constexpr int DISK_TYPE_NONE = 255;

// An image's TYPE.
enum opennebula_image_type : int {
    IMAGE_TYPE_OS = 0,
    IMAGE_TYPE_CDROM = 1,
    IMAGE_TYPE_DATABLOCK = 2,
    IMAGE_TYPE_KERNEL = 3,
    IMAGE_TYPE_RAMDISK = 4,
    IMAGE_TYPE_CONTEXT = 5,
};

// A datastore's TYPE, which OpenNebula prints as a plain integer.
constexpr int DATASTORE_TYPE_IMAGE = 0;
constexpr int DATASTORE_TYPE_SYSTEM = 1;
constexpr int DATASTORE_TYPE_FILE = 2;

// One OpenNebula image as "oneimage show" describes it.
struct oneimage {
    std::string id;
    std::string name;
    std::string new_name;  // the name a restored VM template gives the image
    std::string datastore_id;
    std::string dev_prefix;  // TEMPLATE/DEV_PREFIX
    std::string driver;      // TEMPLATE/DRIVER
    int type = IMAGE_TYPE_OS;           // opennebula_image_type
    int disk_type = DISK_TYPE_NONE;     // opennebula_disk_type
    std::string persistent;             // PERSISTENT as OpenNebula writes it
    std::string unique_signature;       // identifies the image's data
    std::uint64_t size = 0;             // bytes (SIZE is megabytes)
    std::string source;                 // file, block device or Ceph image
};

// One disk of a VM, prepared for a backup.
struct opennebula_device_info : kvm_device_info {
    bool persistent = false;  // PERSISTENT is "YES"
    TM_MAD_TYPE tm_mad = TM_MAD_NONE;
    std::uint64_t size = 0;  // bytes
    std::string image_id;
    std::string device_file;  // the disk's device or file path on its host
    std::string disk_id;
};

// One Ceph RBD disk of a VM.
struct RBD_disk {
    std::string image_id;  // taken from the Ceph image name
    std::string vm_id;
    std::string disk_id;
    std::string target;  // guest device name
};

// STATE and LCM_STATE of a VM; -1 until read.
struct opennebula_vm_state {
    int state = -1;
    int lcm_state = -1;
};

namespace zv_opennebula_common {

// ---- Data model and XML access ----

// The ten drivers and their texts, in ascending key order (TM_MAD_NONE -> "").
extern const std::map<TM_MAD_TYPE, std::string> TM_MAD_TYPE_STR;
// Text of a driver; throws std::out_of_range for a value that is no key.
std::string tm_mad_to_str(TM_MAD_TYPE tm_mad);
// First driver, in key order, whose text equals `text`; TM_MAD_NONE otherwise.
TM_MAD_TYPE tm_mad_from_str(const std::string& text);

std::string disk_type_to_str(opennebula_disk_type& type);  // "" for unknown values
std::string type_to_str(opennebula_image_type& type);      // "" for unknown values

// Parses one XML document; on success `doc` has a root element and the caller
// frees it with xmlFreeDoc. On failure nothing is left to free.
int parse_xml_document(const std::string& text, xmlDoc*& doc);

// Whether a node (element, text or comment) carries this element name.
bool has_name(const xmlNode* node, const char* name);
// Text of an element ("" when it has none).
std::string element_text(xmlDoc* doc, const xmlNode* element);
// First first-level child of `parent` with that name, or nullptr.
xmlNode* first_child(const xmlNode* parent, const char* name);

// ---- Image queries ----

int get_image_attributes(const std::string& image_id, oneimage& image, bool force_digest);
int get_image_name(const std::string& image_id, std::string& name);
int get_image_list(std::vector<std::string>& ids);  // appends
int get_image_id(const std::string& image, std::string& id);
int get_image_state(const std::string& image_id, int& state);
// What checking a remembered image against OpenNebula found.
enum class image_presence {
    present,    // the image exists and its data still has the stored signature
    absent,     // OpenNebula no longer lists the image, or its data has changed
    unchecked,  // the check failed (OpenNebula, its datastore or the data could not be read)
};
// Checks that the image of image.id still exists and its data still has
// image.unique_signature; image.datastore_id gives the driver. `force_digest` has
// the meaning it has for calculate_unique_signature.
image_presence check_image_presence(const oneimage& image, bool force_digest);
// check_image_presence is present.
bool does_image_exist(const oneimage& image, bool force_digest);
bool does_image_exist_by_id(const std::string& image_id);
bool does_image_name_exist(const std::string& name);
int get_image_source(const std::string& image_id, std::string& source);
void delete_image(const std::string& image_id);
int get_available_image_names(std::vector<std::string>& names);  // appends
// 0 and the first image whose signature equals `signature` (a 32-character one
// asks for digests of block images); IMAGE_NOT_FOUND when every image was read and
// none matched; IMAGE_NOT_CHECKED when the list or some image could not be read
// (each such image is skipped with a warning and the search goes on).
int find_image_by_unique_signature(const std::string& signature, oneimage& image);
constexpr int IMAGE_NOT_FOUND = 1;
constexpr int IMAGE_NOT_CHECKED = 2;

// ---- Datastore queries ----

bool does_datastore_exist(const std::string& datastore_id);
int get_datastore_type(const std::string& datastore_id, int& type);
TM_MAD_TYPE get_datastore_tm_mad(const std::string& datastore_id);  // TM_MAD_NONE on failure
int get_datastore_capacity_mb(const std::string& datastore_id, int& free_mb);
int get_safe_dirs_from_datastore(const std::string& datastore_id, std::string& safe_dirs);
// First datastore of the pool of that type with more than required_mb free
// (for system datastores also of that driver).
int get_any_datastore_by_type(int type, TM_MAD_TYPE tm_mad, const unsigned int& required_mb,
                              std::string& datastore_id);
int get_any_image_datastore(const unsigned int& required_mb, std::string& datastore_id);
int get_any_system_datastore_by_tm_mad(TM_MAD_TYPE tm_mad, const unsigned int& required_mb,
                                       std::string& datastore_id);

// ---- VM and host queries and actions ----

int get_VM_state(const std::string& vm, opennebula_vm_state& state);
int get_VM_workplace(const std::string& vm, std::string& host, std::string& deploy_id);
int get_vm_id_by_name(const std::string& vm, std::string& id);
int get_VM_diskID(const std::string& vm, const std::string& target, int& disk_id);
int get_disk_id_and_source(const std::string& vm, const std::string& target, int& disk_id,
                           std::string& source);
int get_vm_name_list(std::vector<std::string>& names);  // appends
bool does_VM_id_exist(const std::string& vm);
bool does_VM_name_exist(const std::string& name);
int shutdown_hard(const std::string& vm);  // a powered-off VM counts as success
int get_VM_host(const std::string& vm_id, std::string& host);
int terminate_vm(const std::string& vm);
int get_eth0_mac_addr(const std::string& vm, std::string& mac);
int get_node_id_for_current_host(std::string& host_id);

// Locks a VM against management actions for the object's life. Whatever lock
// OpenNebula granted to the object is released once, by unlock() or at the
// latest at destruction, even when it could not be confirmed. An object holds at
// most one lock: locking again first releases the one it holds.
class VM_lock {
public:
    VM_lock() = default;
    explicit VM_lock(const std::string& vm);
    ~VM_lock();
    VM_lock(const VM_lock&) = delete;
    VM_lock& operator=(const VM_lock&) = delete;

    bool lock(const std::string& vm);  // plain lock; returns is_locked()
    void lock_manage_actions(const std::string& vm);
    // The lock was granted and, for lock_manage_actions, confirmed.
    bool is_locked() const { return locked; }
    // Releases the lock OpenNebula granted; true when the VM is still locked
    // by this object afterwards.
    bool unlock();

private:
    // Releases a lock still held before another is taken; false when it stays held.
    bool release_before_locking(const char* signature, const std::string& vm);

    std::string vm_id;    // the VM this object locked last
    bool locked = false;  // granted and confirmed
    bool granted = false; // OpenNebula granted the lock: it is ours to release
};

// ---- Unique image signatures ----

bool calculate_unique_signature(oneimage& image, TM_MAD_TYPE tm_mad, bool force_digest);
int calc_md5sum(const std::string& path, std::string& digest);
int calc_md5sum_for_block_device(const std::string& device, std::string& digest);
int get_image_uuid(const std::string& source, std::string& uuid);
int get_ceph_image_id(const std::string& source, std::string& id);

// ---- VM disk discovery ----

// Resolves a link, here when `host` is empty or this node, else over ssh.
int read_file_link(const std::string& path, std::string& target, const std::string& host, bool full);

// Appends one record per disk of the VM (not cleared first; on failure the records
// of the disks before the failing one stay). `live` asks the running domain on the
// VM's host for each path; otherwise paths come from the VM's system-datastore dir.
int load_VM_devices(const std::string& vm_id, std::vector<opennebula_device_info>& devices,
                    bool force_share, bool live, bool ceph_allowed);
// The VM's directory in one of the system datastores, tested on the VM's host.
int get_real_vm_path(const std::string& vm_id, std::string& path);
// Sets info.device_file to the source of info.target in the domain `deploy_id`.
int get_target_device_path(const std::string& host, const std::string& deploy_id,
                           opennebula_device_info& info);
// Appends `path` and then each backing file, every one resolved; empty host: here.
int fill_backing_image_chain(const std::string& path, std::vector<std::string>& chain,
                             bool force_share, const std::string& host);
// Virtual size in bytes; a size text that does not convert throws.
int get_image_virtual_size(const std::string& image, bool force_share, const std::string& host,
                           unsigned long long& size);
// disk_id, size and target of a volatile DISK element.
int get_temporary_disk_info(xmlDoc* const& doc, xmlNode* const& node, opennebula_device_info& info);
// Appends the VM's Ceph disks other than Ceph CD-ROMs.
int get_vm_rbd_disks(const std::string& vm_id, std::vector<RBD_disk>& disks);
// Reads "one-<image>-<vm>-<disk>" (any four-character prefix); throws for a name
// shorter than four characters.
RBD_disk fill_rbd_disk_struct_from_target(const std::string& name, const std::string& target);
// `name` := the file name of `path`, then its part after the first "."; 1 when
// there was a ".", 0 when not.
int parse_rbd_disk_name(const std::string& path, std::string& name);

// ---- Restore documents for VMs ----
// A VM restore document is the TEMPLATE of "onevm show" without volatile disks,
// console port, non-disk boot order and NIC addresses, plus a NAME as last child.

int create_vm_xml(const std::string& vm_id, const std::string& document_path,
                  const std::string& new_name);
int change_name_in_VM_xml(const std::string& document_path, const std::string& name);
int remove_cdrom_from_VM_xml(const std::string& document_path);
// Fails, without saving, when neither the old image name nor the old id occurs.
int change_image_in_VM_xml(const std::string& document_path, const std::string& old_image,
                           const std::string& new_image, const std::string& old_image_id,
                           const std::string& new_image_id);
int get_VM_name_from_file(const std::string& document_path, std::string& name);
int get_VM_image_ID_list_from_xml(const std::string& document_path, std::vector<std::string>& ids);
int get_VM_image_list_from_xml(const std::string& document_path, std::vector<oneimage>& images);
// Megabytes of the disks that are neither volatile nor CD-ROM.
int get_total_vm_disks_size_mb(const std::string& document_path, unsigned int& total);
// TM_MAD_SYSTEM of the document; TM_MAD_NONE when absent, unknown or on failure.
TM_MAD_TYPE get_vm_tm_mad_type(const std::string& document_path);

// ---- Restore documents for templates and images ----
// A template restore document is the TEMPLATE of "onetemplate show" whose disks
// name their images by IMAGE and IMAGE_UNAME instead of IMAGE_ID, plus a NAME.

int create_template_xml(const std::string& template_id, const std::string& document_path,
                        const std::string& new_name);
int change_name_in_template_xml(const std::string& document_path, const std::string& name);
// Renames each IMAGE to the new_name of the last record whose name equals it.
int change_image_name_in_template_xml(const std::string& document_path,
                                      const std::vector<oneimage>& images);
int get_template_name_from_file(const std::string& document_path, std::string& name);
// Drops the VMS list from an image document.
int convert_image_xml(const std::string& document_path);
int get_template_name(const std::string& template_id, std::string& name);
bool does_template_name_exist(const std::string& name);
// Appends the image id of each DISK of the template, in order: its IMAGE_ID, or
// the id of the image its IMAGE names.
int get_simple_template_image_list(const std::string& template_id, std::vector<std::string>& ids);
int get_template_image_list(const std::string& template_id, std::vector<oneimage>& images);
int delete_template(const std::string& template_id);

}  // namespace zv_opennebula_common
