// The module framework: the options record, the operation codes and the abstract
// base class every backup module derives from. The class is one unit whose member
// functions live in several sources by concern (options and dispatch, archiver
// command lines, snapshot files, locks, storages, signals, configuration).
#pragma once

#include "common/config_file.h"
#include "modules_common/module_resource_lock.h"
#include "modules_common/os_snapshot.h"
#include "modules_common/resource_list.h"
#include "modules_common/zv_signal_handler.h"

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

enum class ZvModuleOperations : int {
    None = 0,
    CheckClient = 1,
    UpdateConfig = 2,
    ListAllResources = 3,
    ListAllResourcesWithHeaders = 4,
    ListHeaders = 5,
    BackupTypeQuery = 6,
    DedupQuery = 7,
    ArchivingQuery = 8,
    Backup = 9,
    BackupList = 10,
    Restore = 11,
    CreateReplica = 12,
    ApplyReplica = 13,
    Version = 14,
    ShowBackupOptions = 15,
    AutonomousQuery = 16,
    ShowModuleProperties = 17,
    RestoreParameters = 18,
    DeleteFromClientDefinedStorage = 19,
    VerifyInClientDefinedStorage = 20,
};

struct ZvModuleOptions {
    ZvModuleOptions() = default;
    ZvModuleOptions(const ZvModuleOptions&) = default;
    ZvModuleOptions& operator=(const ZvModuleOptions&) = default;
    ~ZvModuleOptions() = default;

    std::string module_path;
    ZvModuleOperations operation = ZvModuleOperations::None;
    int backup_type = 1;
    std::string resource;
    ResourceList resource_list;
    std::string resource_list_file;
    std::string tmp_operation_directory;
    std::string archive_name;
    std::string reference_snapshot;
    std::string archive_to_patch;
    int compress_type = 1;
    bool local_restrictions = false;
    std::string module_params;
    std::string crypto_algorithm = "nocrypt";
    std::string key_file;
    std::string replica_destination;
    std::string media_server;
    std::string task_id;
    std::string record_id;
    std::string meta_file;
    std::string reference_meta_file;
    unsigned int parallelism = 1;
    bool archiving = false;
    bool dgst = false;
    bool autonomous = false;
    std::string restriction_list_path;
    std::string granular_list;
    std::string granular_entities;
    std::string delete_json;
    bool supports_incremental = false;
    bool supports_differential = false;
    bool supports_dedup = false;
    bool supports_archiving = false;
    bool supports_autonomous = false;
    bool single_data_source = false;
    bool set_to_numeric = false;
    std::string remote_host;
    std::string remote_user = "root";
    unsigned int memory_threshold = 0;
    std::string configs_list;
    bool need_esign = false;
    std::string sign_hash;
    std::string esign_json;
};


class ZvModuleUniversal {
public:
    struct ClientDefinedStorageInfo {
        ClientDefinedStorageInfo() = default;
        int type;
        int id;
        std::string location;
    };
    struct ClientDefinedArchiveInfo {
        ClientDefinedArchiveInfo() = default;
        int type;
        int id;
        std::string name;
    };

    explicit ZvModuleUniversal(const ZvModuleOptions& options);
    ZvModuleUniversal(const ZvModuleUniversal&) = delete;
    ZvModuleUniversal& operator=(const ZvModuleUniversal&) = delete;
    virtual ~ZvModuleUniversal();

    // The module's own operations.
    virtual bool prepare_resource_before_backup(const bool& replication) = 0;
    virtual bool release_resource_after_backup() = 0;
    virtual bool load_module_config() = 0;
    virtual void usage_custom() = 0;
    virtual int check_client(const bool& verbose) = 0;
    virtual std::string get_full_module_version() = 0;
    virtual int list_header_labels() = 0;
    virtual int list_all_resources() = 0;
    virtual int list_all_resources_with_header_labels() = 0;
    virtual bool resource_exists() = 0;
    virtual bool before_restore() = 0;
    virtual bool after_restore() = 0;
    virtual bool after_restore_last_file() = 0;
    virtual bool deployment(const bool& replication) = 0;
    virtual void autonomous_options() = 0;
    virtual void make_archiving() = 0;

    // Framework operations a module may override.
    virtual bool check_supported_client_defined_storage(int type);
    virtual std::string archive_sign_filename();
    virtual int define_restore_directory();
    virtual void list_restore_parameters();
    virtual void load_custom_module_parameters();
    virtual void handle_shutdown_signal();
    virtual bool apply_replica();
    virtual bool need_esign_for_operation(ZvModuleOperations operation);
    virtual bool delete_from_client_defined_storage(std::vector<std::pair<int, std::string>> list);
    virtual bool verify_in_client_defined_storage();
    virtual bool parse_esign_json(const std::string& json, std::string& archive_name,
                                  std::string& archive_sign, std::string& snapshot_sign);
    virtual int get_config_option_presence_type(const std::string& name);
    virtual std::string resolve_config_option_merge_conflict(const std::string& name,
                                                             const std::string& old_value);
    virtual void close_restore();
    // What the resource is whatever name it was given by (a domain's UUID for its
    // name, UUID or id), so that one lock keeps every alias of it apart; empty when
    // the resource has no other name. False (logged) when it cannot be told.
    virtual bool resource_identity(std::string& identity);
    // The clean-up of a termination that waited past its limit for a step that did not
    // end (the step's programs have been ended; the step itself never returns): the
    // module puts back what that step may have left half done, by what it finds, and
    // logs how to finish what it cannot. Runs in the signal handler; the default does
    // nothing more than note the termination.
    virtual void handle_overdue_termination();

    bool init(int argc, char** argv);
    unsigned int run();

    const ZvModuleOptions& options() const { return options_; }

    // Options and dispatch.
    bool parse_module_options(int argc, char** argv, ZvModuleOptions& options);
    void usage(const std::string& module_path);
    void module_properties();

    // Module-parameter string. False (the start is refused) for a value the archiver
    // cannot take; framework keys set members, the rest go to special_params.
    bool parce_param_string();
    // True when the key was passed with a non-empty value, which lands in `value`.
    bool find_special_param(const std::string& key, std::string& value) const;
    bool has_special_param_passed_from_client(const std::string& key) const;
    const std::string& get_OS_snapshot_type() const { return os_snapshot_type; }
    bool is_OS_snapshot_using() const { return use_os_snapshot; }
    const std::string& script_before_snapshot() const { return before_snapshot_script; }
    const std::string& script_after_snapshot() const { return after_snapshot_script; }
    const std::string& script_error_snapshot() const { return error_snapshot_script; }

    // Backup and restore runs.
    unsigned int run_backup(bool replication);
    unsigned int run_restore(bool replication);
    bool reassign_resource_locker(const std::string& resource);
    // Binds the lock to `name` and takes it into `holder` when the module allows
    // one operation per resource; false (already logged) when it is busy.
    bool lock_resource(const std::string& name, zelvor::module::resource_file_scoped_lock& holder);
    // Takes, besides the lock on the name given, the lock on the resource's identity
    // when it is another text; false (already logged) when it is busy.
    bool lock_resource_identity(zelvor::module::resource_file_scoped_lock& holder);
    // Undoes a successful preparation once, whoever asks first (run or signal).
    bool release_prepared_resource();

    // Restrictions: false when the resource is on the local restriction list, or the
    // list cannot be read.
    bool check_local_restrictions() const;
    // Replaces `restrictions` with the lines of the restriction list: none when the
    // list is missing, or unreadable (then false, with an Error).
    bool read_local_restrictions(std::vector<std::string>& restrictions) const;

    // Archiver command lines and runs. The builders return the archiver's arguments;
    // zvfd_shell_command turns them into the shell text the runner gets.
    bool make_backup();
    bool make_backup_locally();
    // The archiver runs on `remote_host` over ssh; only the metadata file comes back.
    bool make_backup_remotely();
    // Removes what the remote backup copied there; `ssh` is the ssh command prefix.
    // Directories the remote host shares with this one are left alone.
    bool cleanup_remote_host(const std::string& ssh);
    // Finds which of the directories the remote backup copies into the remote host
    // shares with this one (it may be this host); false (logged) when ssh fails.
    bool find_remote_sharing(const std::string& ssh, std::string& output);
    bool make_backup_cmd_common(std::vector<std::string>& arguments);
    void add_zvfd_options_to_command(std::vector<std::string>& arguments) const;
    bool backup_command_arguments(std::vector<std::string>& arguments);
    // The shell text of the local backup's archiver run; false (logged) as the
    // arguments' builder.
    bool backup_shell_command(std::string& command);
    // Where a backup's archiver starts: a resource that is a directory, without a
    // list file, is archived as "." from inside itself; anything else from "/".
    std::string backup_start_directory() const;
    // Leaves `arguments` empty when the record needs no archiver run.
    bool restore_command_arguments(const bool& replication, std::vector<std::string>& arguments);
    bool make_restore(const bool& replication);
    bool add_to_zvfd_list_file(const std::string& path,
                               const std::map<std::string, std::string>& records, bool append);
    bool append_some_special();
    bool run_zvfd_command(const std::string& command, std::string& output, pid_t& pid,
                          std::string& progress);
    void send_signal_to_zvfd(int signal);
    bool run_script(const std::string& script, const std::string& arguments);
    std::string compress_mode_str(unsigned int type);
    std::string get_task_secret();

    // OS block-device snapshots of a backed-up path: the device behind a path, a
    // provider's snapshot of it, mounted read-only for the archiver. No module of this
    // program uses them. Output that is not JSON throws to the caller.
    struct block_device_info {
        block_device_info() = default;
        ~block_device_info() = default;
        std::string name;
        uintmax_t size = 0;
        bool ro = false;
        std::string type;
        std::vector<std::string> mountpoints;  // JSON text of each element, quotes kept
        std::string fstype;
        std::string fsver;
        std::string label;
        std::string uuid;
        uintmax_t fsavail = 0;
    };
    // The mount point holding `path`; empty on failure.
    std::string get_mountpoint(const std::string& path) const;
    // The device mounted at `mountpoint` as it is visible (the top one of stacked mounts),
    // canonical with `resolve`.
    std::string get_block_device(const std::string& mountpoint, bool resolve) const;
    bool get_block_device_info(const std::string& device, block_device_info& info) const;
    // Snapshot of the resource's device (or of `device` at `mountpoint`); `device`
    // becomes the snapshot device. Every failure leaves defect_flag set; a snapshot made
    // before the failure is removed again (or stays on record when that fails too).
    bool create_OS_snapshot(std::string& device, bool mount, std::string& mount_dir,
                            std::string& mountpoint);
    bool mount_OS_snapshot(const std::string& device, std::string& mount_dir,
                           const std::string& options) const;
    bool umount_OS_snapshot() const;
    bool remove_OS_snapshot();
    // As create_OS_snapshot for any path; the snapshot is kept in os_snapshots.
    bool create_OS_snapshot_multiple(const std::string& path, std::string& device, bool mount,
                                     std::string& mount_dir, std::string& mountpoint);
    bool mount_OS_snapshot_multiple(const std::string& device, std::string& mount_dir,
                                    const std::string& options) const;
    bool umount_OS_snapshot_multiple(const std::string& mount_dir) const;
    bool remove_all_OS_snapshots();
    // os_snapshot_size percent of the device, in whole 512-byte sectors.
    uintmax_t calculate_OS_snapshot_size(uintmax_t device_size) const;

    // Snapshot files, artefact names and closing steps.
    std::string archive_filename() const;
    std::string meta_filename() const;
    std::string snapshot_filename() const;
    std::string snapshot_directory_path() const;
    std::string leveldb_directory_path() const;
    std::string reference_snapshot_directory_path() const;
    int unpack_snapshot_file(const std::string& snapshot_file);
    // Packs into packing_snapshot_filename(); close_backup renames it into place.
    int pack_snapshot_file() const;
    std::string packing_snapshot_filename() const;
    // True when `path` is this run's snapshot file or snapshot directory, lies inside
    // that directory, or would be unpacked into it: no reference of this run.
    bool names_own_snapshot(const std::string& path) const;
    bool close_backup(const bool& replication);
    void remove_reference_snapshot_directory();
    // 7 when a restored file is sparse, i.e. the restore ran short of space; else 0.
    int check_file_to_restore_for_sparse(const std::string& path) const;
    // Deletes the client's reference snapshot file once the backup that read it succeeded.
    void remove_obsolete_snapshot_file();
    // Refuses, with an Error line, a name that would not stay one entry inside the
    // temporary operation directory ("", ".", ".." or one holding "/").
    bool check_name_in_operation_directory(const std::string& what, const std::string& name) const;

    // Client-defined storages. The storage list comes from the task directory, enciphered
    // with the task secret; a record is one JSON line, an archive name inside a storage
    // reads "<type word><separator><id>...@<name>".
    bool load_client_defined_storages();
    static bool split_client_defined_storage_record(const std::string& record,
                                                    ClientDefinedStorageInfo& info);
    static bool split_client_defined_archive_name(const std::string& name,
                                                  ClientDefinedArchiveInfo& info);
    bool client_defined_storage_prepare();
    bool parse_json_of_client_defined_storage(const std::string& json,
                                              std::vector<std::pair<int, std::string>>& list);
    // Runs a deletion or a verification, which only read the `-M` file: a snapshot file
    // is unpacked into a scratch directory of this run, removed afterwards. 2 when it
    // cannot be unpacked, else what `operation` returns.
    unsigned int run_with_meta_file_unpacked_aside(const std::function<unsigned int()>& operation);

    // E-signature verification: hexadecimal signature text into a binary file, and one
    // check by the archiver (`is_meta` false) or by openssl with the digest `hash`.
    bool write_esign(const std::string& hex, const std::string& path);
    bool check_filename_by_esing(const std::string& key, const std::string& hash,
                                 const std::string& signature_file, const std::string& file,
                                 bool is_meta);

    // Configuration upgrade: carries old and update values into the new file's layout.
    bool upgrade_config();
    zv_config::ConfigFile get_merged_config(const zv_config::ConfigFile& old_config,
                                            const zv_config::ConfigFile& new_config,
                                            const zv_config::ConfigFile& update_config);

    // Pause and continue (SIGTSTP, SIGCONT): the pause holds the module's work in its
    // handler until the flag clears.
    void set_to_pause();
    bool is_paused() const { return paused.load(); }
    void continue_working();
    // define_restore_directory, noting whether this run created the directory: only
    // then does a termination remove it.
    int define_own_restore_directory();

protected:
    ZvModuleOptions options_;
    std::map<std::string, std::string> special_list_records;
    bool skip_reference_meta = false;
    bool remove_tmp_operation_directory = true;  // false once the log sends the user to the restored files
    std::string hash_algorithm = "sha2";
    int hash_length = 256;
    int block_size = 16384;
    bool file_list = false;
    bool numeric_owner = false;
    bool ignore_errors_snapshot = true;
    std::vector<std::string> zvfd_flag_names;
    std::map<std::string, std::string> zvfd_flags;
    bool last = false;
    std::string tmp_catalog;
    bool without_deployment_restore = false;
    int zvfd_pid = 0;
    std::atomic<bool> paused{false};  // written by the SIGCONT handler while SIGTSTP's loops
    zelvor::module::resource_file_lock resource_lock;
    zelvor::module::resource_file_lock identity_lock;  // the resource_identity lock of a run
    std::string reference_snapshot_directory;
    std::string obsolete_snapshot_file;  // client's reference snapshot, deleted after success
    std::unique_ptr<ZvModuleSignalHandler> signal_handler;
    std::map<std::string, std::string> special_params;
    bool shutdown_requested = false;
    std::atomic<bool> release_pending_{false};  // a preparation succeeded and is not yet released
    std::string created_restore_directory_;  // the restore directory, when this run made it
    bool zvfd_result = false;
    // Directories of a remote backup that the remote host shares with this one.
    struct RemoteSharing {
        bool task_directory = false;
        bool list_directory = false;
        bool snapshot_directory = false;
    } remote_sharing_;
    bool defect_flag = false;
    std::vector<ClientDefinedStorageInfo> client_defined_storages;
    int chosen_storage_type = 0;
    int chosen_storage_id = 0;
    std::unique_ptr<Snapshot> os_snapshot;
    std::vector<OsSnapshot> os_snapshots;
    bool use_os_snapshot = false;
    std::string os_snapshot_type;
    int os_snapshot_size = 10;
    std::string before_snapshot_script;
    std::string after_snapshot_script;
    std::string error_snapshot_script;
    // What the single variant's snapshot was made of, and where this run mounted it
    // (empty when it is not mounted): its removal works on these, not on a new look-up.
    std::string os_snapshot_origin;
    std::string os_snapshot_mounted_dir;

private:
    void init_zvfd_flags();
    // The steps both create_OS_snapshot variants share.
    bool create_os_snapshot_of(const std::string& path, std::string& device, bool mount,
                               std::string& mount_dir, std::string& mountpoint, bool multiple);
    // Mounts (when asked) and runs the after-script for the snapshot just recorded.
    bool finish_os_snapshot(bool multiple, bool mount, const std::string& fstype,
                            const std::string& device, std::string& mount_dir);
    // Undoes the snapshot just recorded; its record goes only once it is removed.
    void discard_new_os_snapshot(bool multiple);
};

// The product's archiver; every archiver command line starts with it.
inline constexpr const char* zvfd_program = "/opt/zelvor/bin/zvfd";

// Shell text of an archiver run: the program with its arguments quoted, output merged.
// With a `directory` the archiver starts there (a backup from "/", so that relative
// list entries resolve there; a directory resource from that directory).
std::string zvfd_shell_command(const std::vector<std::string>& arguments, const std::string& directory);

// Backslash-escapes shell characters for a path written outside quotes; a tab gets a
// backslash too and a line feed is put in single quotes, so neither ends a word or a command.
void shield_string_for_command(std::string& text);

// Splits "major.minor.patch.build..." into "major.minor", "patch" and "build".
int split_full_version(const std::string& version, std::string& major_minor, std::string& patch,
                       std::string& build);
