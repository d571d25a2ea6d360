#!/usr/bin/env bash
# Builds everything under AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test, then runs the thread-heavy tests again under
# ThreadSanitizer in a build of their own. Usage: scripts/test.sh [ctest arguments...]
# (the arguments apply to the first pass).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=build/test
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DQUORVEL_SANITIZE=ON -DQUORVEL_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" "$@"

# ThreadSanitizer cannot be combined with AddressSanitizer: a second build,
# only of the binaries whose tests run many threads (cross-process calls among them).
tsan=build/tsan
tsan_tests=(platform_net_test platform_thread_test dime_test server_logs_test server_config_test
            server_soap_server_test
            braskel_test server_core_test braskel_http_test remote_call_test digestauth_test
            server_forward_http_test platform_registry_test platform_com_test server_wsdl_cache_test
            jorvane_test jorvane_host_test wsdl_test)
cmake -S . -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DQUORVEL_TSAN=ON -DQUORVEL_WERROR=ON -DQUORVEL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$tsan" -j "$(nproc)" --target "${tsan_tests[@]}"
regex="^($(IFS='|'; echo "${tsan_tests[*]}"))\$"
ctest --test-dir "$tsan" --output-on-failure -j "$(nproc)" -R "$regex"
