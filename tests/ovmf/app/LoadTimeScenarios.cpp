// UsbConnectorPolicyDxe started by the boot application: the revision gate,
// the Setup read and the published capability block. Each start has the
// calibration HOB in place; the calibration scenarios cover the window.
#include "Console.h"
#include "Report.h"
#include "ScenarioSupport.h"
#include "Scenarios.h"

#define GATE_REVISION_TOO_OLD 0x0002001DU
#define GATE_REVISION_OLDEST_ACCEPTED 0x0002001EU

// Loads a fresh copy of the driver and starts it with the calibration HOB,
// the system table claiming Revision meanwhile; false when it cannot be
// loaded (a check has failed then).
static bool StartPolicyDriver(UINT32 Revision, DRIVER_START *Start) {
  EFI_HANDLE Image = LoadFromBootVolume(POLICY_DRIVER_FILE);
  if (Image == nullptr) {
    return false;
  }
  const UINT32 FirmwareRevision = SystemTable->Hdr.Revision;
  SystemTable->Hdr.Revision = Revision;
  *Start = StartWithCalibrationHob(Image);
  SystemTable->Hdr.Revision = FirmwareRevision;
  ObserveStart(*Start);
  return true;
}

VOID SetupAbsentScenario() {
  DeleteVariable(SETUP_VARIABLE_NAME, &SetupGuid);
  DRIVER_START Start;
  if (!StartPolicyDriver(SystemTable->Hdr.Revision, &Start)) {
    return;
  }
  Expect(Start.Status == EFI_NOT_FOUND, "StartImage gave %s, wanted EFI_NOT_FOUND", StatusName(Start.Status));
  Expect(Start.SetVariableCalls == 0, "%llu SetVariable calls without Setup", Start.SetVariableCalls);
  ExpectNoCapabilities();
}

VOID SetupTooLargeScenario() {
  DRIVER_START Start;
  if (!WriteSetup(4000, NO_CONNECTOR) || !StartPolicyDriver(SystemTable->Hdr.Revision, &Start)) {
    return;
  }
  Expect(Start.Status == EFI_BUFFER_TOO_SMALL, "StartImage gave %s, wanted EFI_BUFFER_TOO_SMALL",
         StatusName(Start.Status));
  Expect(Start.SetVariableCalls == 0, "%llu SetVariable calls for an oversized Setup", Start.SetVariableCalls);
  ExpectNoCapabilities();
}

// Setup is valid, so anything but the gate would publish the block.
VOID RevisionGateScenario() {
  Observe("firmware revision", "0x%08x", SystemTable->Hdr.Revision);
  if (!WriteSetup(SETUP_VARIABLE_SIZE, NO_CONNECTOR)) {
    return;
  }
  Observe("revision for StartImage", "0x%08x", GATE_REVISION_TOO_OLD);
  DRIVER_START Old;
  if (!StartPolicyDriver(GATE_REVISION_TOO_OLD, &Old)) {
    return;
  }
  Expect(Old.Status == EFI_INCOMPATIBLE_VERSION, "revision 0x%08x: StartImage gave %s, wanted EFI_INCOMPATIBLE_VERSION",
         GATE_REVISION_TOO_OLD, StatusName(Old.Status));
  Expect(Old.GetVariableCalls == 0 && Old.SetVariableCalls == 0 && !Old.ServiceCalled,
         "revision 0x%08x: GetVariable %llu / SetVariable %llu calls, LocateProtocol %s, wanted none",
         GATE_REVISION_TOO_OLD, Old.GetVariableCalls, Old.SetVariableCalls,
         Old.ServiceCalled ? "called" : "not called");
  ExpectNoCapabilities();

  Observe("revision for StartImage", "0x%08x", GATE_REVISION_OLDEST_ACCEPTED);
  DRIVER_START Oldest;
  if (!StartPolicyDriver(GATE_REVISION_OLDEST_ACCEPTED, &Oldest)) {
    return;
  }
  Expect(Oldest.Status == EFI_SUCCESS, "revision 0x%08x: StartImage gave %s, wanted EFI_SUCCESS",
         GATE_REVISION_OLDEST_ACCEPTED, StatusName(Oldest.Status));
  ExpectCapabilitiesPublished();
}
