// The KVM module: backs up and restores libvirt domains through virsh, the QEMU
// guest agent, qemu-img and the archiver. Operations live in sources by concern:
// host check and listing, domain discovery, guest programs and snapshots,
// backup preparation, restore deployment.
#pragma once

#include "kvm/kvm_device_info.h"
#include "modules_common/zv_modules_common.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The KVM special parameters of one backup run (module-parameter keys of the
// same names). The preparation reads them; the release needs the after step's.
struct zv_kvm_conf {
    bool backup_if_shutdown = true;
    std::string script_before_snapshot;  // a program path inside the guest
    std::string script_after_snapshot;   // a program path inside the guest
    std::uint32_t execution_script_timeout = 5;  // seconds
    std::string ceph_user;
};

class ZvModuleKvm : public ZvModuleUniversal {
public:
    explicit ZvModuleKvm(ZvModuleOptions options);
    ~ZvModuleKvm() override = default;

    bool prepare_resource_before_backup(const bool& replication) override;
    bool release_resource_after_backup() override;
    bool load_module_config() override;
    void usage_custom() override;
    int check_client(const bool& verbose) override;
    std::string get_full_module_version() override;
    int list_header_labels() override;
    int list_all_resources() override;
    int list_all_resources_with_header_labels() override;
    bool resource_exists() override;
    bool before_restore() override;
    bool after_restore() override;
    bool after_restore_last_file() override;
    bool deployment(const bool& replication) override;
    void autonomous_options() override;
    void make_archiving() override;
    bool resource_identity(std::string& identity) override;  // the domain's UUID
    // A backup's: this run's overlays that libvirt shows as disk sources are merged
    // back, a frozen guest is thawed, an owed after step runs, the work directory goes.
    void handle_overdue_termination() override;

    bool is_VM_online(std::string domain, bool& online);
    bool load_online_VM_devices(std::string domain, std::vector<kvm_device_info>* devices);
    bool create_VM_xml(std::string domain, std::string xml_path);
    bool qemu_guest_agent_enabled();
    bool kvm_run_script_inside_vm(std::string domain, std::string program, std::string arguments,
                                  unsigned timeout);
    int create_kvm_snapshots(std::string domain, std::string snapshot_name,
                             std::vector<kvm_device_info> devices);
    int commit_kvm_snapshots(std::string domain, std::string snapshot_name,
                             std::vector<kvm_device_info> devices);
    bool analyse_targer_list(std::string directory,
                             std::vector<std::pair<std::string, std::string>>& targets,
                             std::string& uuid);

    // Domain discovery. The words of virsh's detailed block-device listing and of a
    // disk element's type and device attributes, as the enumerations hold them.
    static bool disk_type_from_word(const std::string& word, kvm_disk_type& type);
    static bool device_type_from_word(const std::string& word, kvm_device_type& type);
    static std::string disk_type_word(kvm_disk_type type);
    // One line of `virsh -q domblklist --details`: type, device, target, source.
    // `empty` for a blank line; false (logged) for a type or device word it does not know.
    static bool parse_block_device_line(std::string line, kvm_device_info& device, bool& empty);
    // True when the file holds a whole domain definition naming `domain` (by name,
    // UUID or id); otherwise false and what is wrong with it.
    static bool saved_domain_xml_is_whole(const std::string& xml_path, const std::string& domain,
                                       std::string& fault);
    // Whether a guest-info reply offers guest-fsfreeze-freeze enabled (logged either way).
    static bool guest_info_allows_freeze(const std::string& reply, const std::string& domain);

    // Guest programs and disk snapshots. The guest-exec request for a program and
    // its arguments (the argument text split at each blank), the reply's pid, and
    // what a guest-exec-status reply says.
    static std::vector<std::string> guest_program_arguments(const std::string& arguments);
    static std::string guest_exec_request(const std::string& program,
                                          const std::vector<std::string>& arguments);
    static bool parse_guest_exec_pid(const std::string& reply, std::int64_t& pid);
    struct GuestExecStatus {
        bool valid = false;  // a "return" object with a boolean "exited"
        bool exited = false;
        bool has_exit_code = false;  // false for a program ended by a signal
        std::int64_t exit_code = -1;
        std::int64_t signal = 0;
    };
    static GuestExecStatus parse_guest_exec_status(const std::string& reply);
    // The snapshot overlay of a disk, "<snapshot>.snapshot.<target>.qcow2": beside its
    // image for a file disk, in `shared_directory` for any other.
    static std::string overlay_path(const kvm_device_info& device, const std::string& snapshot_name,
                                    const std::string& shared_directory);
    // The directory of the overlays of disks that are not files: the directory of the
    // domain's first file disk, else the operation directory; always absolute, never
    // / or /dev.
    static std::string shared_overlay_directory(const std::vector<kvm_device_info>& devices,
                                                const std::string& operation_directory);
    // The overlay of a disk of this run's domain: in the directory of this run's
    // snapshot once there is one, else as `devices` (all disks of the domain) decide.
    std::string overlay_path(const kvm_device_info& device, const std::string& snapshot_name,
                             const std::vector<kvm_device_info>& devices) const;

    // Restore deployment. The restore directory holds the restored files under
    // their archive names: target_list, <resource>.xml and each disk image under
    // its target. A restored image and where it is to be copied.
    struct restored_image {
        std::string archived;     // restore directory + "/" + target (or backing-file name)
        std::string destination;  // the final path the rewritten XML names
        std::string backing;      // the final path of the image under it; empty for none
    };
    // Gives the saved XML a free domain name and its file disks free image paths,
    // drops its uuid and saves it in place. `images` gets the file disks to copy;
    // `direct_restore` tells whether the domain can be defined as it stands.
    bool rewrite_restored_xml(const std::string& directory, const std::string& xml_path,
                              const std::vector<std::pair<std::string, std::string>>& targets,
                              std::vector<restored_image>& images, bool& direct_restore);
    // Adds the backing files listed for `target` (target.backing.1, .2 ...) under the
    // last image of `images`, each at a free path beside its original, and links
    // each image to the one under it. False (logged) when one is missing.
    bool restore_backing_chain(const std::string& directory, const std::string& target,
                               const std::vector<std::pair<std::string, std::string>>& targets,
                               std::vector<std::string>& chosen, std::vector<restored_image>& images);
    // The file of the restore directory that holds the image archived as `name` whose
    // original path is `original`. A replica application writes each image at the
    // restore directory followed by its original path: there it is the newer one.
    std::string archived_image(const std::string& directory, const std::string& name,
                               const std::string& original) const;
    // The wanted name, or the first of wanted-0, wanted-1 ... that no domain has.
    // False (logged) after a bounded number of tries.
    bool find_free_domain_name(const std::string& wanted, std::string& name);
    // `source` when neither it exists nor is in `taken`, else the first free one of
    // source-0, source-1 ... (a ".qcow2" suffix is kept at the end). False (logged)
    // after a bounded number of tries.
    static bool find_free_image_path(const std::string& source, const std::vector<std::string>& taken,
                                     std::string& path);
    // Copies a file to a new path (which must not exist), writing only its data:
    // holes and all-zero blocks stay holes, so a sparse image stays sparse. Throws
    // boost::filesystem::filesystem_error; a partial copy is removed first.
    static void copy_sparse_file(const std::string& from, const std::string& to);
    // Moves a restored image to its destination when both lie on one file system and
    // the destination is free; false (nothing done) where a move cannot be made and a
    // copy must serve. Throws as the copy does when the destination exists.
    static bool move_restored_image(const std::string& from, const std::string& to);
    // Points a copied image at the copy of the image under it (qemu-img rebase -u),
    // keeping the backing format the archived image records (or that image's own).
    bool rebase_restored_image(const restored_image& image, const std::string& backing_archived);

    // Host check: the hypervisor version as virsh reports it, "major.minor.micro"
    // (a missing piece reads 0; a piece that is not a number throws
    // std::invalid_argument or std::out_of_range), and whether that QEMU needs
    // "qemu-img info --force-share" to read the images of a running domain.
    static std::array<int, 3> parse_hypervisor_version(std::string text);
    static bool hypervisor_needs_force_share(const std::array<int, 3>& version);

protected:
    bool vm_online = false;  // the domain runs or is paused: it gets a snapshot
    bool vm_paused = false;  // its snapshot is taken without the guest agent
    std::vector<kvm_device_info> devices;
    bool qemu_img_force_share = false;

    // Backup preparation and release.
    // Throws std::invalid_argument, naming the parameter and its value, for a
    // timeout that parse_script_timeout refuses.
    zv_kvm_conf read_kvm_conf() const;
    // A guest program's timeout: plain decimal digits, at most 4294967295 seconds.
    static bool parse_script_timeout(const std::string& text, std::uint32_t& seconds);
    std::string work_directory() const;  // temporary operation directory / archive name
    bool read_backing_chain(kvm_device_info& device);
    bool write_target_list(const std::string& path) const;
    // The name a backing file of a disk is archived and listed under: "vda.backing.1"
    // for the file under vda's image, and so on down its chain.
    static std::string backing_file_key(const std::string& target, std::size_t depth);
    // (name, path) of each backing file the disks need, each path once.
    std::vector<std::pair<std::string, std::string>> backing_files_to_save() const;
    // Writes W/zvfd.list for `devices` and points resource_list_file at it; exports
    // network disks into W. False (logged) for a disk it cannot save.
    bool write_file_list(bool replication);
    // The configured guest program with `argument`, or else the default program when
    // the guest has it. `ran` tells whether a program ran; false when it failed.
    bool run_guest_step(const std::string& configured, const std::string& argument, bool& ran);
    bool run_owed_after_step();
    // Merges the overlays of snapshot_devices; those that fail stay on record.
    bool merge_snapshots();
    // A failed preparation leaves nothing behind: owed after step, merge, W.
    void undo_preparation(bool remove_work_directory);

    // Overlays that outlive their run. An overlay a disk writes into, over `image`
    // (of qemu-img `format` when known).
    struct overlay_on_disk {
        std::string target, overlay, image, format;
    };
    // Merges the overlay `target` writes into back into the image below it (--shallow)
    // and pivots the disk onto that image; the output of the virsh calls goes to `output`.
    // With `job_started`, the disk already runs that commit and only the pivot is left.
    // Gives up when the commit shows no progress for `stall_seconds`.
    static bool merge_active_overlay(const std::string& domain, const std::string& target,
                                     std::string& output, bool job_started = false,
                                     int stall_seconds = pivot_stall_seconds);
    // How long a merge waits for a commit job that shows no progress to be pivoted.
    static constexpr int pivot_stall_seconds = 60;
    // The Error that an overlay stays the disk's source, with the command that merges
    // it (or pivots the commit that still runs on it).
    static void log_unmerged_overlay(const std::string& domain, const std::string& target,
                                     const std::string& overlay, const std::string& image);
    // Whether `target` runs a block commit (libvirt's answer goes to `info`): the one
    // being merged, or one a killed run started and never pivoted.
    static bool block_commit_running(const std::string& domain, const std::string& target,
                                     std::string& info);
    // Whether a disk source is named as this module names the overlay of `target`.
    static bool is_own_overlay_name(const std::string& source, const std::string& target);
    // The backing file of an overlay and its format; false when it has none.
    bool overlay_backing(const std::string& overlay, std::string& backing, std::string& format);
    // The file disks whose source is named as this module names an overlay (with a
    // `snapshot_name`, this snapshot's overlay of that disk), over an image; false
    // (logged) when libvirt does not list the disks.
    bool overlays_in_use(const std::string& domain, const std::string& snapshot_name,
                         std::vector<overlay_on_disk>& overlays);
    // Thaws the guest's file systems when its agent says they are frozen; logs the
    // command that does it when that fails.
    void thaw_guest_if_frozen(const std::string& domain);
    // Removes the work directory, saying so.
    void remove_work_directory();
    // True when the domain is shut off or gone (then `exists` is false).
    static bool domain_shut_off(const std::string& domain, bool& exists);
    // Merges back the overlays an earlier backup left as active disk sources: with a
    // block commit when the domain runs (vm_online), offline otherwise. False (logged,
    // with the command that does it) when one stays.
    bool merge_leftover_overlays(const std::string& domain);
    // qemu-img commits each overlay into its image, then defines the domain (when it
    // still exists) on those images and removes the overlays. False (logged, with
    // the commands that do it) when that fails.
    bool merge_overlays_offline(const std::string& domain, std::vector<overlay_on_disk> overlays);
    bool define_on_own_images(const std::string& domain, const std::vector<overlay_on_disk>& overlays);

    zv_kvm_conf kvm_conf;
    // Disks whose overlays this run created and has not yet merged back.
    std::vector<kvm_device_info> snapshot_devices;
    // Where this run's snapshot put the overlays of disks that are not files; the merges,
    // one disk a call, look there whatever the list they are given.
    std::string snapshot_overlay_directory;
    // The before step ran in the guest and its after step has not run yet.
    bool after_step_owed = false;
    unsigned domain_name_counter = 0;  // advanced by every domain name the deployment tries
    bool deploying_replica = false;    // the deployment follows a replica application
};
