// Signal handling of a module run: termination clean-up, pause and continue.
#pragma once

class ZvModuleUniversal;

class ZvModuleSignalHandler {
public:
    explicit ZvModuleSignalHandler(ZvModuleUniversal* module);
    ~ZvModuleSignalHandler();

    static ZvModuleUniversal* module_ptr_;
};
