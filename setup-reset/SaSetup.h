// The SaSetup variable as SaSetupResetDxe sees it: other firmware components
// produce and maintain it; the driver touches one byte.
#pragma once

#define SA_SETUP_VARIABLE_NAME u"SaSetup"
#define SA_SETUP_VARIABLE_GUID {0x72C5E28C, 0x7783, 0x43A1, {0x87, 0x67, 0xFA, 0xD7, 0x3F, 0xCC, 0xAF, 0xA4}}
// The driver reads at most this much.
#define SA_SETUP_BUFFER_SIZE 1400
// ColdResetRequest: nonzero asks for one cold reset.
#define SA_SETUP_COLD_RESET_REQUEST_OFFSET 190
