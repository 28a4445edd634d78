// kxipc public header: everything an application needs to take part in a channel.
//
// Link with kxipc.dll (import library libkxipc.dll.a, or kxipc.lib with MSVC). Named kernel
// objects of a channel are created with a null DACL: any process of any user on the machine that
// knows the channel name can read, write or disrupt it; use it between processes that trust each
// other.
#pragma once

#include "KxExport.h"
#include "KxExceptions.h"
#include "CKxIPCEventWaiter.h"
#include "CkxIPCParticipant.h"
#include "kxipc_c.h"
