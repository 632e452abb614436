#include "modulegroup.h"

#include "virtualmodule.h"

ModuleGroup::ModuleGroup(QObject *parent)
    : QObject(parent)
{
}

ModuleGroup::~ModuleGroup()
{
    stop();
}

bool ModuleGroup::start(int count, const ModuleOptions &options, QString *error)
{
    const int before = this->count();
    for (int i = 0; i < count; ++i) {
        ModuleOptions one = options;
        one.address = QHostAddress(options.address.toIPv4Address() + quint32(i));
        if (count > 1 && !options.name.isEmpty())
            one.name = QStringLiteral("%1-%2").arg(options.name).arg(i + 1);
        if (!add(one, error)) {
            while (this->count() > before)
                delete members.takeLast();
            return false;
        }
    }
    return true;
}

VirtualModule *ModuleGroup::add(const ModuleOptions &options, QString *error)
{
    if (find(options.address)) {
        if (error)
            *error
                = QStringLiteral("%1 is taken by another module").arg(options.address.toString());
        return nullptr;
    }
    auto *module = new VirtualModule(options, this);
    if (!module->start(error)) {
        delete module;
        return nullptr;
    }
    members.append(module);
    return module;
}

void ModuleGroup::stop()
{
    for (VirtualModule *module : qAsConst(members))
        module->stop();
}

VirtualModule *ModuleGroup::find(const QHostAddress &address) const
{
    for (VirtualModule *module : members) {
        if (module->address().isEqual(address))
            return module;
    }
    return nullptr;
}
