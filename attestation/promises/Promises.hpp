// The promise library: the promise and every operator.
#pragma once

#include "attestation/promises/All.hpp"
#include "attestation/promises/Always.hpp"
#include "attestation/promises/Any.hpp"
#include "attestation/promises/Async.hpp"
#include "attestation/promises/Await.hpp"
#include "attestation/promises/Catch.hpp"
#include "attestation/promises/Delay.hpp"
#include "attestation/promises/Promise.hpp"
#include "attestation/promises/Race.hpp"
#include "attestation/promises/Recover.hpp"
#include "attestation/promises/Reduce.hpp"
#include "attestation/promises/Retry.hpp"
#include "attestation/promises/Then.hpp"
#include "attestation/promises/Timeout.hpp"
#include "attestation/promises/Validate.hpp"
#include "attestation/promises/Wrap.hpp"
