// The Installer's one connection point, for _IInstallerEvents, and the adapter that raises
// a job's events on the sinks advised there.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <vector>

#include "base/job_events.h"
#include "shell/com_owners.h"

namespace corvane {

// DISPIDs of _IInstallerEvents, as the type library declares them.
enum InstallerEventId : DISPID { kProgressEvent = 1, kComponentDoneEvent = 2, kCertificateDoneEvent = 3 };

// Lives inside its container: its references are the container's, so neither outlives
// the other. Accepts sinks that answer IDispatch, as script hosts and browsers give them.
class InstallerEventsPoint final : public IConnectionPoint {
 public:
  explicit InstallerEventsPoint(IConnectionPointContainer& container) noexcept : container_(container) {}
  InstallerEventsPoint(const InstallerEventsPoint&) = delete;
  InstallerEventsPoint& operator=(const InstallerEventsPoint&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override;

  // The sinks advised now, each with a reference of its own: one that unadvises during
  // an event neither changes the list being walked nor goes away under the call.
  std::vector<ComPtr<IDispatch>> sinks() const;
  bool advised() const noexcept { return !connections_.empty(); }

 private:
  struct Connection {
    DWORD cookie;
    ComPtr<IDispatch> sink;
  };
  IConnectionPointContainer& container_;
  std::vector<Connection> connections_;
  DWORD lastCookie_ = 0;
};

// A job's events as _IInstallerEvents calls on the sinks, on the calling thread. What a
// sink answers (an error, a script's exception) changes nothing in the job.
class EventRaiser final : public JobEvents {
 public:
  explicit EventRaiser(const InstallerEventsPoint& point) noexcept : point_(point) {}

  std::chrono::milliseconds progress(const std::string& component, uint64_t received,
                                     std::optional<uint64_t> total) noexcept override;
  void componentDone(const std::string& name, int result, const std::string& detail) noexcept override;
  void certificateDone(const std::string& name, int result, const std::string& detail) noexcept override;

 private:
  void raiseOutcome(DISPID event, const std::string& name, int result, const std::string& detail) noexcept;

  const InstallerEventsPoint& point_;
};

}  // namespace corvane
