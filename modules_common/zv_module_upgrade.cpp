// Configuration merge on upgrade (-u old:new:update): the values in use before
// the upgrade, and those of an update file, carried into the layout of the newly
// installed configuration file, which then holds the result.
#include "modules_common/zv_modules_common.h"

#include "common/zv_logger.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

bool ZvModuleUniversal::upgrade_config() {
    ZvLogStream(ZvLogLvl::Info) << "UpgradeConfig options.configs_list: " << options_.configs_list
                                << std::endl;
    std::vector<std::string> paths;
    boost::split(paths, options_.configs_list, boost::is_any_of(":"));
    if (paths.size() != 3) {
        ZvLogStream(ZvLogLvl::Error) << "Incorrect configuration file format" << std::endl;
        return false;
    }
    const std::string& old_path = paths[0];
    const std::string& new_path = paths[1];
    const std::string& update_path = paths[2];

    zv_config::ConfigFile old_config;
    try {
        old_config.load(old_path);
    } catch (const zv_config::WrongConfigException& e) {
        ZvLogStream(ZvLogLvl::Warning) << e.what() << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "Old configuration file " << old_path
                                       << " doesn't exists. Will use only new configuration file."
                                       << std::endl;
    }
    zv_config::ConfigFile new_config;
    try {
        new_config.load(new_path);
    } catch (const zv_config::WrongConfigException& e) {
        ZvLogStream(ZvLogLvl::Error) << e.what() << std::endl;
        ZvLogStream(ZvLogLvl::Error) << "New configuration file " << new_path
                                     << " doesn't exists. Merge configuration files impossible."
                                     << std::endl;
        return false;
    }
    zv_config::ConfigFile update_config;
    try {
        update_config.load(update_path);
    } catch (const zv_config::WrongConfigException& e) {
        ZvLogStream(ZvLogLvl::Warning) << e.what() << std::endl;
        ZvLogStream(ZvLogLvl::Warning) << "Update configuration file " << update_path
                                       << " doesn't exists" << std::endl;
    }

    zv_config::ConfigFile merged = get_merged_config(old_config, new_config, update_config);
    // save replaces the new file only once the merged text is completely written,
    // so a failure here leaves the installed file as the package put it.
    if (!merged.save(new_path)) {
        ZvLogStream(ZvLogLvl::Error) << "Can't save " << zelvor::as_quoted_single(new_path)
                                     << std::endl;
        return false;
    }
    ZvLogStream(ZvLogLvl::Info) << "The module is installed" << std::endl;
    return true;
}

zv_config::ConfigFile ZvModuleUniversal::get_merged_config(
    const zv_config::ConfigFile& old_config, const zv_config::ConfigFile& new_config,
    const zv_config::ConfigFile& update_config) {
    using zv_config::Comment;
    using zv_config::Variable;
    zv_config::ConfigFile merged;

    // The new file, commented out, stands first as the description of every setting.
    merged.addComment(" Description variables");
    for (const auto& entity : new_config) {
        if (entity->getType() == zv_config::VariableType)
            merged.addComment(entity->get());
        else
            merged.addComment(static_cast<const Comment&>(*entity).getPure());
    }
    merged.addComment("");
    merged.addComment(" Variables value");

    for (const auto& entity : new_config) {
        if (entity->getType() != zv_config::VariableType) continue;
        const std::string name = static_cast<const Variable&>(*entity).getName();
        const int presence = get_config_option_presence_type(name);
        if (update_config.variableExists(name)) {
            merged.addVariable(name, update_config[name]);
        } else if (old_config.variableExists(name)) {
            merged.addVariable(name, resolve_config_option_merge_conflict(name, old_config[name]));
        } else if (presence == 0) {
            ZvLogStream(ZvLogLvl::Warning) << "Variable " << zelvor::as_quoted_single(name)
                                           << " is mandatory and has no value. Module cannot be used"
                                           << std::endl;
            merged.addVariable(name, "");
        }
    }
    return merged;
}
