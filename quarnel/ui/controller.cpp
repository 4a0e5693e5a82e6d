#include "controller.h"

#include "quarnelnetwork.h"

#include <cstring>

// Corner indices: 0 top left, 1 top right, 2 bottom right, 3 bottom left.
// Setup: top left, top right, bottom left, bottom right.
// Exit:  bottom right, bottom left, top right, top left.
Controller::Controller(QuarnelNetwork *quarnel, QObject *parent)
    : QObject(parent)
    , ipAddress()
    , fwVer()
    , quarnel(quarnel)
    , firstPlug(true)
    , plugStatus(false)
    , firstTimeIp(false)
    , password{-1, -1, -1, -1}
    , passwordSetup{0, 1, 3, 2}
    , passwordExit{2, 3, 1, 0}
{
    // Without a hub (screen previews) the controller only relays what the
    // windows ask of it.
    if (quarnel) {
        connect(quarnel, &QuarnelNetwork::headboxPluggedState, this, &Controller::HeadboxPlugged);
        connect(quarnel, &QuarnelNetwork::NetworkCableState, this, &Controller::NetworkCableState);
        connect(quarnel, &QuarnelNetwork::ClientConnectionState, this, &Controller::ClientConnectionState);
        connect(quarnel, &QuarnelNetwork::NewHostName, this, &Controller::HostName);
        connect(quarnel, &QuarnelNetwork::AddLogItem, this, &Controller::AddLogItem);
        connect(quarnel, &QuarnelNetwork::IpAddress, this, &Controller::IpAddr);
        connect(quarnel, &QuarnelNetwork::FirmwareInfo, this, &Controller::FirmwareVersion);
        connect(this, &Controller::UserChangeIp, quarnel, &QuarnelNetwork::UserChangeIp);
        connect(this, &Controller::TurnOffDisplay, quarnel, &QuarnelNetwork::TurnOffDisplay);
        connect(this, &Controller::TurnOnDisplay, quarnel, &QuarnelNetwork::TurnOnDisplay);
    }
    for (int &p : password)
        p = -1;
    ipAddress.clear();
}

void Controller::HeadboxPlugged(bool plugged, QString device, short count)
{
    // The hub reports every plugged headbox twice; only a change of the flag
    // reaches the windows.
    const bool changed = firstPlug || plugged != plugStatus;
    plugStatus = plugged;
    firstPlug = false;
    if (changed)
        emit HeadboxPluggedChangeState(plugged, device, count);
}

void Controller::FirmwareVersion(QString version)
{
    fwVer = version;
    emit FirmwareInfo(version);
}

bool Controller::Matches(const int (&sequence)[4]) const
{
    for (int i = 0; i < 4; ++i) {
        if (password[i] != sequence[i])
            return false;
    }
    return true;
}

void Controller::PasswordCheck(int index)
{
    std::memmove(&password[0], &password[1], 3 * sizeof(int));
    password[3] = index;
    if (Matches(passwordSetup))
        emit ShowSetupDialog();
    if (Matches(passwordExit))
        emit ExitProgram();
}

void Controller::IpAddr(QHostAddress address, bool first)
{
    ipAddress = address;
    firstTimeIp = first;
    if (first)
        emit ShowSetupDialog();
}

void Controller::CloseSetupDialog(QHostAddress address, bool apply)
{
    if (!apply) {
        emit ClosedSetup();
        return;
    }
    if (address == ipAddress && !firstTimeIp) {
        emit ClosedSetup();
        return;
    }
    firstTimeIp = false;
    emit UserChangeIp(address);
    emit ClosedSetup();
}
