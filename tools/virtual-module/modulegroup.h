#pragma once

#include "moduleoptions.h"

#include <QList>
#include <QObject>

class VirtualModule;

// Any number of virtual modules in one thread, on consecutive loopback
// addresses: what a test or a benchmark starts with one call.
class ModuleGroup : public QObject
{
    Q_OBJECT

public:
    explicit ModuleGroup(QObject *parent = nullptr);
    ~ModuleGroup() override;

    // Starts `count` modules set up like `options`, at options.address and
    // the addresses after it; with count > 1 each name gets "-1", "-2", ...
    // appended (an empty name stays empty, so each module takes its default).
    // On failure the modules of this call are stopped again.
    bool start(int count, const ModuleOptions &options, QString *error = nullptr);
    // Starts one module with exactly these options.
    VirtualModule *add(const ModuleOptions &options, QString *error = nullptr);
    void stop();

    int count() const { return int(members.size()); }
    VirtualModule *module(int index) const { return members.at(index); }
    const QList<VirtualModule *> &modules() const { return members; }
    // The module at this address, or nullptr.
    VirtualModule *find(const QHostAddress &address) const;

private:
    QList<VirtualModule *> members;
};
