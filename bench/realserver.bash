# The real-server cases of scripts/bench, sourced by it: Tarn and curl through
# nginx (tools/nginx/front, TLS with the test authority) in front of the
# development service, with HTTP/1.1 only or with HTTP/2, on loopback as it is
# and through tools/delayrelay with a 20 ms round trip.

real_sector_files=$((2000 / scale))
real_sector_file_size=$((4 * KiB))
real_program_files=$((300 / scale))
real_program_file_size=$((64 * KiB))
real_round_trips_ms=(0 20)
real_runs=$((runs < 5 ? runs : 5))
real_authority=$root/tests/data/tls/ca.pem
front_program=$root/tools/nginx/front
relay_program=$build/tools/tarn-delayrelay
front_pid=
relay_pid=

generate_real_data() {
    make_tree "$work/real-service/sector" "$real_sector_files" "$real_sector_file_size" 100
    make_tree "$work/real-service/client" "$real_program_files" "$real_program_file_size" 100
    list_files "$work/real-service/sector" >"$work/real-sector-files.txt"
    list_files "$work/real-service/client" >"$work/real-program-files.txt"
    make_app_folder "$work/real-sector-app"
    make_app_folder "$work/real-program-app"
}

# wait_for_file FILE: up to 10 s.
wait_for_file() {
    local waited
    for ((waited = 0; waited < 200; waited++)); do
        [[ -s $1 ]] && return 0
        sleep 0.05
    done
    return 1
}

# start_path PROTOCOL ROUND_TRIP_MS: nginx offering PROTOCOL before the running
# service, behind a relay when the round trip is not zero; sets $path_url.
start_path() {
    local protocol=$1 round_trip=$2 port=${base_url#http://127.0.0.1:}
    rm -rf "$work/front"
    "$front_program" "$work/front" "${port%%/*}" "$protocol" 2>"$work/logs/front.err" &
    front_pid=$!
    wait_for_file "$work/front/port" || { log "nginx did not start:"; cat "$work/logs/front.err" >&2; exit 1; }
    port=$(cat "$work/front/port")
    if ((round_trip > 0)); then
        rm -f "$work/relay.port"
        "$relay_program" "$port" $((round_trip / 2)) "$work/relay.port" &
        relay_pid=$!
        wait_for_file "$work/relay.port" || { log "The relay did not start"; exit 1; }
        port=$(cat "$work/relay.port")
    fi
    path_url="https://127.0.0.1:$port/api/tarn"
}

stop_path() {
    local pid
    for pid in "$relay_pid" "$front_pid"; do
        [[ -n $pid ]] || continue
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    relay_pid=
    front_pid=
}

# write_transfers LIST OUTPUT CONFIG URL BODY_PREFIX BODY_SUFFIX PROTOCOL: a
# curl configuration with one form POST per listed path, its body
# BODY_PREFIX<path>BODY_SUFFIX, written below OUTPUT.
write_transfers() {
    awk -v out="$2" -v url="$4" -v prefix="$5" -v suffix="$6" -v protocol="$7" -v ca="$real_authority" '
        NR > 1 { print "next" }
        {
            print "url = \"" url "\""
            print "data = \"" prefix $0 suffix "\""
            print "output = \"" out "/" $0 "\""
            print "cacert = \"" ca "\""
            print protocol
            print "create-dirs"
            print "fail"
        }' "$1" >"$3"
}

ref_real_transfers() {
    # shellcheck disable=SC2086 # REF_CURL_ARGS holds several options.
    curl --no-progress-meter $REF_CURL_ARGS -K "$REF_CURL_CONFIG"
}
export -f ref_real_transfers

# real_reference NAME PROTOCOL LIST ENDPOINT BODY_PREFIX BODY_SUFFIX: the
# faster of curl with HTTP/1.1 over six connections and curl with HTTP/2,
# multiplexed, on the path now running; sets $reference_ms. Where the server
# offers HTTP/1.1 only, curl cannot multiplex, and the second variant is held
# to the same six connections as the first.
real_reference() {
    local name=$1 protocol=$2 list=$3 endpoint=$4 prefix=$5 suffix=$6 variant best= files
    for variant in http1.1 http2; do
        export REF_CURL_CONFIG=$work/$name-$variant.conf REF_CURL_ARGS="--parallel --parallel-max 6"
        [[ $variant == http2 && $protocol == http2 ]] && REF_CURL_ARGS="--parallel --parallel-max 100"
        write_transfers "$list" "$work/curl-out" "$REF_CURL_CONFIG" "$path_url/$endpoint" \
            "$prefix" "$suffix" "$variant"
        rm -rf "$work/curl-out"
        reference ref_real_transfers
        files=$(list_files "$work/curl-out" | wc -l)
        [[ $files -eq $(wc -l <"$list") ]] || { log "curl wrote $files files of $(wc -l <"$list")"; exit 1; }
        [[ -z $best ]] || at_most "$best" "$reference_ms" || best=
        [[ -n $best ]] || best=$reference_ms
    done
    reference_ms=$best
}

# same_tree SERVICE_FOLDER LOCAL_FOLDER: Tarn wrote exactly the service's
# files (the bench program and its settings aside).
same_tree() {
    diff -r -q -x tarn-bench -x settings.dat "$1" "$2" >"$work/logs/diff.txt" 2>&1 \
        || { log "Tarn's files differ from the service's:"; head "$work/logs/diff.txt" >&2; exit 1; }
}

real_sector_update() {
    rm -rf "$work/real-sector-local"; mkdir -p "$work/real-sector-local"
    TARN_BENCH_API_BASE_URL=$path_url TARN_BENCH_CA_FILE=$real_authority \
        tarn "$work/real-sector-app" sector-update "$work/real-sector-local" "$real_sector_files"
}

real_self_update() {
    find "$work/real-program-app" -mindepth 1 ! -name tarn-bench -delete
    TARN_BENCH_API_BASE_URL=$path_url TARN_BENCH_CA_FILE=$real_authority \
        tarn "$work/real-program-app" selfupdate-check
}

# real_case NAME PROTOCOL ROUND_TRIP: one row.
real_case() {
    local name=$1 protocol=$2 round_trip=$3 tarn_ms=() ref_ms=() run t r ratio target
    start_path "$protocol" "$round_trip"
    for ((run = -1; run < real_runs; run++)); do
        if [[ $name == sector ]]; then
            real_sector_update
            ((run < 0)) && same_tree "$work/real-service/sector" "$work/real-sector-local"
            real_reference real-sector "$protocol" "$work/real-sector-files.txt" \
                downloadSectorFile.php "file=//" ""
        else
            real_self_update
            ((run < 0)) && same_tree "$work/real-service/client" "$work/real-program-app"
            real_reference real-program "$protocol" "$work/real-program-files.txt" \
                downloadFile.php "file=" "&mode=client"
        fi
        ((run < 0)) && continue
        tarn_ms+=("$(value ms "$result")"); ref_ms+=("$reference_ms")
    done
    stop_path
    t=$(median "${tarn_ms[@]}"); r=$(median "${ref_ms[@]}"); ratio=$(calc "$t / $r" 2)
    local path="nginx $([[ $protocol == http2 ]] && echo "HTTP/2" || echo "HTTP/1.1 only"), ${round_trip} ms round trip"
    if [[ $name == sector ]]; then
        target=$([[ $protocol == http2 ]] && echo 1.2 || echo 1.5)
        row "Sector update, $real_sector_files files, $path" "$t ms" "$r ms" "$ratio" "<= $target" \
            "$(verdict "$ratio" "$target")" "-" "-" "-"
    else
        row "Self-update, $real_program_files files, $path" "$t ms" "$r ms" "$ratio" "-" "-" "-" "-" "-"
    fi
}

case_real_server() {
    log "Real server: $real_sector_files sector files of $((real_sector_file_size / KiB)) KiB and" \
        "$real_program_files program files of $((real_program_file_size / KiB)) KiB through nginx ..."
    start_service "$work/real-service"
    local protocol round_trip
    for protocol in http2 http1.1; do
        for round_trip in "${real_round_trips_ms[@]}"; do
            real_case sector "$protocol" "$round_trip"
            real_case program "$protocol" "$round_trip"
        done
    done
    stop_service
}
