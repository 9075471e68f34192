// SPDX-License-Identifier: MIT
#include "upnpworker.h"

#include <QThread>
#include <QUrl>

#include <miniupnpc/upnpcommands.h>

#include <cstring>
#include <utility>

namespace {

constexpr const char* DeviceType = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
constexpr const char* Description = "Korvaloop";
constexpr const char* Tcp = "TCP";
constexpr const char* Permanent = "0";

// UPnP errors the forward is asked around.
constexpr int InvalidAction = 401;
constexpr int OptionalActionNotImplemented = 602;
constexpr int ConflictInMappingEntry = 718;
constexpr int OnlyPermanentLeasesSupported = 725;

bool atGateway(const char* url, const QString& gateway)
{
    return url && QUrl(QString::fromUtf8(url)).host() == gateway;
}

std::string nextPort(const std::string& port)
{
    const int next = std::stoi(port) + 1;
    return std::to_string(next > 65535 ? 1024 : next);
}

} // namespace

UpnpWorker::UpnpWorker(std::shared_ptr<Shared> shared)
    : m_shared(std::move(shared))
    , m_renew(this) // a child, so that it moves to the worker's thread with it
{
    m_renew.setSingleShot(true);
    connect(&m_renew, &QTimer::timeout, this, &UpnpWorker::renew);
}

UpnpWorker::~UpnpWorker()
{
    remove();
    forget();
}

void UpnpWorker::search(int generation, const QString& gateway)
{
    if (!wanted(generation))
        return;
    forget();
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevice(DeviceType, DiscoveryDelayMs, nullptr, nullptr,
                                          UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    // Only the gateway's own device: another one on the network forwards
    // nothing from the internet, and could be anyone's.
    UPNPDev* atTheGateway = nullptr;
    UPNPDev** tail = &atTheGateway;
    while (devices) {
        UPNPDev* next = std::exchange(devices->pNext, nullptr);
        if (atGateway(devices->descURL, gateway)) {
            *tail = devices;
            tail = &devices->pNext;
        } else {
            freeUPNPDevlist(devices);
        }
        devices = next;
    }
    UPNPUrls urls{};
    char lanAddress[64] = {};
    const int igd =
        atTheGateway && wanted(generation)
            ? UPNP_GetValidIGD(atTheGateway, &urls, &m_data, lanAddress, sizeof lanAddress)
            : 0;
    freeUPNPDevlist(atTheGateway);
    if (igd != 0)
        m_urls = urls;
    // 2 is a device that calls itself not connected, as one does whose
    // outside address is private: it is judged by the address it gives.
    if ((igd != 1 && igd != 2) || !atGateway(urls.controlURL, gateway)) {
        forget();
        Q_EMIT notFound(generation);
        return;
    }
    m_lanAddress = lanAddress;
    char outside[40] = {};
    if (UPNP_GetExternalIPAddress(urls.controlURL, m_data.first.servicetype, outside) !=
        UPNPCOMMAND_SUCCESS)
        outside[0] = '\0';
    Q_EMIT found(generation, QString::fromLatin1(lanAddress), QString::fromLatin1(outside));
}

void UpnpWorker::add(int generation, quint16 port, int lease)
{
    remove();
    m_shared->forwarding.store(true);
    if (!wanted(generation) || !m_urls) {
        settle();
        if (wanted(generation))
            Q_EMIT addFailed(generation, UPNPCOMMAND_INVALID_ARGS);
        return;
    }
    Forward forward{generation,           m_urls->controlURL,   m_data.first.servicetype,
                    std::to_string(port), std::to_string(port), m_lanAddress,
                    std::to_string(lease)};
    // Version 2 offers a free port when this one is taken; a device that
    // says version 2 but lacks the call is asked the version 1 way.
    const bool offersPorts = std::strstr(m_data.first.servicetype, "WANIPConnection:2");
    int result = offersPorts ? addForward(forward, true) : InvalidAction;
    if (result == InvalidAction || result == OptionalActionNotImplemented)
        result = addForward(forward, false);
    if (result != UPNPCOMMAND_SUCCESS) {
        settle();
        Q_EMIT addFailed(generation, result);
        return;
    }
    m_forward = forward;
    if (!wanted(generation)) { // stopped while the router was answering
        remove();
        return;
    }
    if (forward.lease != Permanent)
        m_renew.start(lease * 1000 / 2);
    Q_EMIT added(generation, quint16(std::stoi(forward.outsidePort)), forward.lease == Permanent);
}

int UpnpWorker::addForward(Forward& forward, bool offerAnyPort)
{
    for (int tried = 0; tried < PortsTried;) {
        const char* control = forward.controlUrl.c_str();
        const char* service = forward.serviceType.c_str();
        int result = 0;
        if (offerAnyPort) {
            char offered[6] = {};
            result = UPNP_AddAnyPortMapping(
                control, service, forward.outsidePort.c_str(), forward.port.c_str(),
                forward.client.c_str(), Description, Tcp, nullptr, forward.lease.c_str(), offered);
            if (result == UPNPCOMMAND_SUCCESS && offered[0])
                forward.outsidePort = std::string(offered, strnlen(offered, sizeof offered));
        } else {
            result = UPNP_AddPortMapping(control, service, forward.outsidePort.c_str(),
                                         forward.port.c_str(), forward.client.c_str(), Description,
                                         Tcp, nullptr, forward.lease.c_str());
        }
        // A router that keeps forwards only until it is told otherwise gets
        // one: remove() is then the only end it has.
        if (result == OnlyPermanentLeasesSupported && forward.lease != Permanent) {
            forward.lease = std::string(Permanent);
            continue;
        }
        if (result != ConflictInMappingEntry || offerAnyPort)
            return result;
        ++tried;
        forward.outsidePort = nextPort(forward.outsidePort);
    }
    return ConflictInMappingEntry;
}

void UpnpWorker::renew()
{
    if (!m_forward || m_forward->lease == Permanent)
        return;
    const Forward& forward = *m_forward;
    const int result = UPNP_AddPortMapping(forward.controlUrl.c_str(), forward.serviceType.c_str(),
                                           forward.outsidePort.c_str(), forward.port.c_str(),
                                           forward.client.c_str(), Description, Tcp, nullptr,
                                           forward.lease.c_str());
    if (result == UPNPCOMMAND_SUCCESS) {
        m_renew.start(std::stoi(forward.lease) * 1000 / 2);
        return;
    }
    const int generation = forward.generation;
    m_forward.reset();
    settle();
    Q_EMIT lost(generation);
}

void UpnpWorker::remove()
{
    m_renew.stop();
    if (m_forward)
        UPNP_DeletePortMapping(m_forward->controlUrl.c_str(), m_forward->serviceType.c_str(),
                               m_forward->outsidePort.c_str(), Tcp, nullptr);
    m_forward.reset();
    settle();
}

void UpnpWorker::finish()
{
    remove();
    forget();
    QThread::currentThread()->quit();
}

void UpnpWorker::forget()
{
    if (m_urls)
        FreeUPNPUrls(&*m_urls);
    m_urls.reset();
}
