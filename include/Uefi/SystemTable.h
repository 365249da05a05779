// The system table and the boot and runtime service tables (UEFI 2.x, x86-64).
#pragma once

#include <stddef.h>

#include "Uefi/Base.h"

struct EFI_DEVICE_PATH_PROTOCOL;
struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
static_assert(sizeof(EFI_TABLE_HEADER) == 24, "EFI_TABLE_HEADER layout");

// ---------------------------------------------------------------------------
// Boot services

enum EFI_ALLOCATE_TYPE { AllocateAnyPages, AllocateMaxAddress, AllocateAddress };

enum EFI_MEMORY_TYPE {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
};

enum EFI_TIMER_DELAY { TimerCancel, TimerPeriodic, TimerRelative };

enum EFI_INTERFACE_TYPE { EFI_NATIVE_INTERFACE };

enum EFI_LOCATE_SEARCH_TYPE { AllHandles, ByRegisterNotify, ByProtocol };

struct EFI_MEMORY_DESCRIPTOR;
struct EFI_OPEN_PROTOCOL_INFORMATION_ENTRY;

#define EVT_TIMER 0x80000000U
#define EVT_NOTIFY_WAIT 0x00000100U
#define EVT_NOTIFY_SIGNAL 0x00000200U

#define EFI_OPEN_PROTOCOL_GET_PROTOCOL 0x00000002U

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);

typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(EFI_TPL OldTpl);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                               UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_GET_MEMORY_MAP)(UINTN *MemoryMapSize, EFI_MEMORY_DESCRIPTOR *MemoryMap,
                                               UINTN *MapKey, UINTN *DescriptorSize,
                                               UINT32 *DescriptorVersion);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                             VOID *NotifyContext, EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIMER)(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
typedef EFI_STATUS(EFIAPI *EFI_WAIT_FOR_EVENT)(UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index);
typedef EFI_STATUS(EFIAPI *EFI_SIGNAL_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_CHECK_EVENT)(EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE *Handle, const EFI_GUID *Protocol,
                                                           EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_REINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                             VOID *OldInterface, VOID *NewInterface);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                             VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(const EFI_GUID *Protocol, EFI_EVENT Event,
                                                         VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                              VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_DEVICE_PATH)(const EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                                   EFI_HANDLE *Device);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_CONFIGURATION_TABLE)(const EFI_GUID *Guid, VOID *Table);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize, CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *EFI_EXIT)(EFI_HANDLE ImageHandle, EFI_STATUS ExitStatus, UINTN ExitDataSize,
                                     CHAR16 *ExitData);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_EXIT_BOOT_SERVICES)(EFI_HANDLE ImageHandle, UINTN MapKey);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_MONOTONIC_COUNT)(UINT64 *Count);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode, UINTN DataSize,
                                                   CHAR16 *WatchdogData);
typedef EFI_STATUS(EFIAPI *EFI_CONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle, EFI_HANDLE *DriverImageHandle,
                                                   EFI_DEVICE_PATH_PROTOCOL *RemainingDevicePath,
                                                   BOOLEAN Recursive);
typedef EFI_STATUS(EFIAPI *EFI_DISCONNECT_CONTROLLER)(EFI_HANDLE ControllerHandle, EFI_HANDLE DriverImageHandle,
                                                      EFI_HANDLE ChildHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface,
                                              EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle,
                                              UINT32 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_PROTOCOL)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                               EFI_HANDLE AgentHandle, EFI_HANDLE ControllerHandle);
typedef EFI_STATUS(EFIAPI *EFI_OPEN_PROTOCOL_INFORMATION)(EFI_HANDLE Handle, const EFI_GUID *Protocol,
                                                          EFI_OPEN_PROTOCOL_INFORMATION_ENTRY **EntryBuffer,
                                                          UINTN *EntryCount);
typedef EFI_STATUS(EFIAPI *EFI_PROTOCOLS_PER_HANDLE)(EFI_HANDLE Handle, EFI_GUID ***ProtocolBuffer,
                                                     UINTN *ProtocolBufferCount);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol,
                                                     VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
// Both take (GUID pointer, interface) pairs ended by a null GUID pointer.
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE *Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES)(EFI_HANDLE Handle, ...);
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
typedef VOID(EFIAPI *EFI_COPY_MEM)(VOID *Destination, VOID *Source, UINTN Length);
typedef VOID(EFIAPI *EFI_SET_MEM)(VOID *Buffer, UINTN Size, UINT8 Value);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction,
                                                const VOID *NotifyContext, const EFI_GUID *EventGroup,
                                                EFI_EVENT *Event);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_RAISE_TPL RaiseTPL;
  EFI_RESTORE_TPL RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  EFI_GET_MEMORY_MAP GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  EFI_SET_TIMER SetTimer;
  EFI_WAIT_FOR_EVENT WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  EFI_CHECK_EVENT CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  EFI_LOCATE_DEVICE_PATH LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  EFI_IMAGE_START StartImage;
  EFI_EXIT Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  EFI_EXIT_BOOT_SERVICES ExitBootServices;
  EFI_GET_NEXT_MONOTONIC_COUNT GetNextMonotonicCount;
  EFI_STALL Stall;
  EFI_SET_WATCHDOG_TIMER SetWatchdogTimer;
  EFI_CONNECT_CONTROLLER ConnectController;
  EFI_DISCONNECT_CONTROLLER DisconnectController;
  EFI_OPEN_PROTOCOL OpenProtocol;
  EFI_CLOSE_PROTOCOL CloseProtocol;
  EFI_OPEN_PROTOCOL_INFORMATION OpenProtocolInformation;
  EFI_PROTOCOLS_PER_HANDLE ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  EFI_INSTALL_MULTIPLE_PROTOCOL_INTERFACES InstallMultipleProtocolInterfaces;
  EFI_UNINSTALL_MULTIPLE_PROTOCOL_INTERFACES UninstallMultipleProtocolInterfaces;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  EFI_COPY_MEM CopyMem;
  EFI_SET_MEM SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};
static_assert(offsetof(EFI_BOOT_SERVICES, RaiseTPL) == 0x18, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePages) == 0x28, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == 0x48, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEvent) == 0x50, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, SignalEvent) == 0x68, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallProtocolInterface) == 0x80, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == 0x98, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, RegisterProtocolNotify) == 0xA8, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandle) == 0xB0, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallConfigurationTable) == 0xC0, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LoadImage) == 0xC8, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, StartImage) == 0xD0, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == 0xF8, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, OpenProtocol) == 0x118, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == 0x138, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == 0x140, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, InstallMultipleProtocolInterfaces) == 0x148, "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, UninstallMultipleProtocolInterfaces) == 0x150,
              "EFI_BOOT_SERVICES layout");
static_assert(offsetof(EFI_BOOT_SERVICES, CreateEventEx) == 0x170, "EFI_BOOT_SERVICES layout");
static_assert(sizeof(EFI_BOOT_SERVICES) == 0x178, "EFI_BOOT_SERVICES layout");

// ---------------------------------------------------------------------------
// Runtime services

enum EFI_RESET_TYPE { EfiResetCold, EfiResetWarm, EfiResetShutdown, EfiResetPlatformSpecific };

#define EFI_VARIABLE_NON_VOLATILE 0x00000001U
#define EFI_VARIABLE_BOOTSERVICE_ACCESS 0x00000002U
#define EFI_VARIABLE_RUNTIME_ACCESS 0x00000004U

struct EFI_TIME;
struct EFI_TIME_CAPABILITIES;
struct EFI_CAPSULE_HEADER;

typedef EFI_STATUS(EFIAPI *EFI_GET_TIME)(EFI_TIME *Time, EFI_TIME_CAPABILITIES *Capabilities);
typedef EFI_STATUS(EFIAPI *EFI_SET_TIME)(EFI_TIME *Time);
typedef EFI_STATUS(EFIAPI *EFI_GET_WAKEUP_TIME)(BOOLEAN *Enabled, BOOLEAN *Pending, EFI_TIME *Time);
typedef EFI_STATUS(EFIAPI *EFI_SET_WAKEUP_TIME)(BOOLEAN Enable, EFI_TIME *Time);
typedef EFI_STATUS(EFIAPI *EFI_SET_VIRTUAL_ADDRESS_MAP)(UINTN MemoryMapSize, UINTN DescriptorSize,
                                                        UINT32 DescriptorVersion, EFI_MEMORY_DESCRIPTOR *VirtualMap);
typedef EFI_STATUS(EFIAPI *EFI_CONVERT_POINTER)(UINTN DebugDisposition, VOID **Address);
typedef EFI_STATUS(EFIAPI *EFI_GET_VARIABLE)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid,
                                             UINT32 *Attributes, UINTN *DataSize, VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_VARIABLE_NAME)(UINTN *VariableNameSize, CHAR16 *VariableName,
                                                       EFI_GUID *VendorGuid);
typedef EFI_STATUS(EFIAPI *EFI_SET_VARIABLE)(const CHAR16 *VariableName, const EFI_GUID *VendorGuid,
                                             UINT32 Attributes, UINTN DataSize, const VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_HIGH_MONO_COUNT)(UINT32 *HighCount);
typedef VOID(EFIAPI *EFI_RESET_SYSTEM)(EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize,
                                       VOID *ResetData);
typedef EFI_STATUS(EFIAPI *EFI_UPDATE_CAPSULE)(EFI_CAPSULE_HEADER **CapsuleHeaderArray, UINTN CapsuleCount,
                                               EFI_PHYSICAL_ADDRESS ScatterGatherList);
typedef EFI_STATUS(EFIAPI *EFI_QUERY_CAPSULE_CAPABILITIES)(EFI_CAPSULE_HEADER **CapsuleHeaderArray,
                                                           UINTN CapsuleCount, UINT64 *MaximumCapsuleSize,
                                                           EFI_RESET_TYPE *ResetType);
typedef EFI_STATUS(EFIAPI *EFI_QUERY_VARIABLE_INFO)(UINT32 Attributes, UINT64 *MaximumVariableStorageSize,
                                                    UINT64 *RemainingVariableStorageSize,
                                                    UINT64 *MaximumVariableSize);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_GET_TIME GetTime;
  EFI_SET_TIME SetTime;
  EFI_GET_WAKEUP_TIME GetWakeupTime;
  EFI_SET_WAKEUP_TIME SetWakeupTime;
  EFI_SET_VIRTUAL_ADDRESS_MAP SetVirtualAddressMap;
  EFI_CONVERT_POINTER ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_GET_NEXT_VARIABLE_NAME GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  EFI_GET_NEXT_HIGH_MONO_COUNT GetNextHighMonotonicCount;
  EFI_RESET_SYSTEM ResetSystem;
  EFI_UPDATE_CAPSULE UpdateCapsule;
  EFI_QUERY_CAPSULE_CAPABILITIES QueryCapsuleCapabilities;
  EFI_QUERY_VARIABLE_INFO QueryVariableInfo;
};
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == 0x48, "EFI_RUNTIME_SERVICES layout");
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == 0x58, "EFI_RUNTIME_SERVICES layout");
static_assert(offsetof(EFI_RUNTIME_SERVICES, ResetSystem) == 0x68, "EFI_RUNTIME_SERVICES layout");
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 0x88, "EFI_RUNTIME_SERVICES layout");

// ---------------------------------------------------------------------------
// System table

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};
static_assert(sizeof(EFI_CONFIGURATION_TABLE) == 24, "EFI_CONFIGURATION_TABLE layout");

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
static_assert(offsetof(EFI_SYSTEM_TABLE, FirmwareRevision) == 0x20, "EFI_SYSTEM_TABLE layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == 0x40, "EFI_SYSTEM_TABLE layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 0x58, "EFI_SYSTEM_TABLE layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == 0x60, "EFI_SYSTEM_TABLE layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, NumberOfTableEntries) == 0x68, "EFI_SYSTEM_TABLE layout");
static_assert(offsetof(EFI_SYSTEM_TABLE, ConfigurationTable) == 0x70, "EFI_SYSTEM_TABLE layout");
static_assert(sizeof(EFI_SYSTEM_TABLE) == 0x78, "EFI_SYSTEM_TABLE layout");

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
