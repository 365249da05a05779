#include "Guids.h"

#include "BootCost.h"
#include "Guid/Acpi.h"
#include "Guid/EventGroup.h"
#include "Guid/GlobalVariable.h"
#include "Protocol/DevicePathToText.h"
#include "Protocol/HubPortDisable.h"
#include "Protocol/LoadedImage.h"
#include "Protocol/S3SaveState.h"
#include "Protocol/SmmReadyToLock.h"
#include "Protocol/Storage.h"
#include "Protocol/UsbIo.h"
#include "StandIn.h"

const EFI_GUID DevicePathProtocolGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID DevicePathToTextProtocolGuid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
const EFI_GUID UsbIoProtocolGuid = EFI_USB_IO_PROTOCOL_GUID;
const EFI_GUID BlockIoProtocolGuid = EFI_BLOCK_IO_PROTOCOL_GUID;
const EFI_GUID SimpleFileSystemProtocolGuid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
const EFI_GUID LoadedImageProtocolGuid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
const EFI_GUID S3SaveStateProtocolGuid = EFI_S3_SAVE_STATE_PROTOCOL_GUID;
const EFI_GUID SmmReadyToLockProtocolGuid = SMM_READY_TO_LOCK_PROTOCOL_GUID;
const EFI_GUID HubPortDisableProtocolGuid = HUB_PORT_DISABLE_PROTOCOL_GUID;
const EFI_GUID ReadyToBootGroupGuid = EFI_EVENT_GROUP_READY_TO_BOOT;
const EFI_GUID EndOfDxeGroupGuid = EFI_END_OF_DXE_EVENT_GROUP_GUID;
const EFI_GUID GlobalVariableGuid = EFI_GLOBAL_VARIABLE_GUID;
const EFI_GUID Acpi20TableGuid = EFI_ACPI_20_TABLE_GUID;

const EFI_GUID StandInVariableGuid = STAND_IN_VARIABLE_GUID;
const EFI_GUID StandInRecordGuid = STAND_IN_RECORD_GUID;
const EFI_GUID BootCostTableGuid = BOOT_COST_TABLE_GUID;
