"""The desktop session, inside the lab's host namespace (desktop_lab.sh makes the lab): Xvfb,
WebKitWebDriver and through it the program, first on the shipped page, then on a changed one.
Every request and every wait is bounded in time. Usage: desktop_session.py BUILD SRC WORK SHOTS;
SIM_UNPLUG_PID is the simulator of 10.77.2.11."""
import base64, json, os, re, select, shutil, subprocess, sys, time, urllib.error, urllib.request
from pathlib import Path

build, src, work, shots = map(Path, sys.argv[1:5])
state = {'passed': 0, 'session': None, 'driver': None, 'url': '', 'port': 4443, 'error': ''}
log, driver_log = work / 'quillora.log', work / 'driver.log'


def fail(text):
    raise RuntimeError(text)


def ok(text):
    state['passed'] += 1
    print(f"ok {state['passed']} - {text}", flush=True)


def within(seconds, check):
    deadline = time.monotonic() + seconds
    while not (result := check()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return result


def logged(pattern):
    return log.exists() and re.search(pattern, log.read_text(errors='replace'))


def wd(method, path, body=None, timeout=60):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(state['url'] + path, data, {'Content-Type': 'application/json'}, method=method)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            value = json.load(response)['value']
    except urllib.error.HTTPError as error:
        value = json.load(error)['value']
    if isinstance(value, dict) and 'error' in value:
        raise OSError(f"{method} {path}: {value['error']}: {value.get('message')}")
    return value


def attempt(action):  # the action's result, or None with the reason kept when it failed
    try:
        return action()
    except (OSError, ValueError) as error:
        state['error'] = str(error)
        return None


def run(script, *args):
    return wd('POST', f"/session/{state['session']}/execute/sync", {'script': script, 'args': list(args)})


def see(seconds, failure, script, *args):  # the value of SCRIPT once it is neither false nor null
    value = within(seconds, lambda: attempt(lambda: run(script, *args)))
    return value if value not in (None, False) else fail(f"{failure} (last: {state['error'] or value})")


def act(*steps):
    """Clicks each CSS, or types TEXT into it for a (CSS, TEXT) pair, as the operator would; each is
    retried while its element is not yet interactable."""
    for step in steps:
        css, text = (step, None) if isinstance(step, str) else step
        def once(base=f"/session/{state['session']}/element"):
            element = base + '/' + wd('POST', base, {'using': 'css selector', 'value': css})['element-6066-11e4-a52e-4f735466cecf']
            if text is not None:
                wd('POST', element + '/clear', {})
            return wd('POST', element + ('/click' if text is None else '/value'), {} if text is None else {'text': text}) or True
        within(10, lambda: attempt(once)) or fail(f"{css}: {state['error']}")


def opened(card, by=None):  # after clicking BY, when given
    by and act(by)
    # A dialog still fading in ignores the buttons that close it.
    see(10, f'{card} did not open', f'return $("{card}").hasClass("show") && !$("{card}").data("bs.modal")._isTransitioning')


def shot(name):
    time.sleep(0.3)  # the view paints a change a moment after the page has made it
    (shots / f'{name}.png').write_bytes(base64.b64decode(wd('GET', f"/session/{state['session']}/screenshot")))


AXE = Path(os.environ.get('QUILLORA_AXE', '/usr/local/share/quillora-tests/axe-core/axe.min.js'))


def accessible(view):  # axe-core's serious and critical findings on what the page shows now
    AXE.is_file() or fail(f'{AXE} is missing: scripts/install-deps.sh installs axe-core there')
    wd('POST', f"/session/{state['session']}/timeouts", {'script': 60000})
    found = wd('POST', f"/session/{state['session']}/execute/async", {'args': [], 'script': AXE.read_text() + '''
        ;const done = arguments[arguments.length - 1];
        axe.run(document, {resultTypes: ["violations"]}).then((result) => done(result.violations
            .filter((v) => ["serious", "critical"].includes(v.impact))
            .map((v) => v.id + ": " + v.nodes.map((node) => node.target.join(" ")).join(", "))))
            .catch((error) => done(["axe failed: " + error]));'''}, timeout=90)
    found == [] or fail(f'axe-core on the {view}: ' + '; '.join(found))


def gone(pid):
    return subprocess.run(['kill', '-0', str(pid)], stderr=subprocess.DEVNULL).returncode != 0


def stop_driver():  # and the program it started: the next program needs the single-instance lock
    driver = state['driver']
    if driver:
        pids = subprocess.run(['pgrep', '-P', str(driver.pid), '-x', 'quillora'], capture_output=True, text=True).stdout.split()
        subprocess.run(['kill', *pids, str(driver.pid)], stderr=subprocess.DEVNULL)
        [within(10, lambda: gone(pid)) for pid in pids]
        within(10, lambda: driver.poll() is not None) or driver.kill()
        driver.wait()
        state['driver'] = None


def start_program(folder):
    # Each program gets a driver of its own on a port of its own (the last one may linger), so that nothing
    # of an earlier session or a failed start is left; more tries cover a start too slow for the driver.
    caps = {'capabilities': {'alwaysMatch': {'timeouts': {'pageLoad': 10000, 'script': 10000, 'implicit': 0},
            'webkitgtk:browserOptions': {'binary': str(build / 'quillora'), 'args': ['--automation', '--folder', str(folder)]}}}}
    for attempt_number in range(1, 4):
        stop_driver()
        state['port'] += 1
        state['url'] = f"http://127.0.0.1:{state['port']}"
        # The program inherits the driver's environment: its user prefers British English.
        with open(driver_log, 'a') as out:
            state['driver'] = subprocess.Popen(['WebKitWebDriver', f"--port={state['port']}"], stdout=out,
                                               stderr=subprocess.STDOUT, env=dict(os.environ, LANG='en_GB.UTF-8'))
        within(10, lambda: attempt(lambda: wd('GET', '/status') or True)) or fail('WebKitWebDriver did not start')
        created = attempt(lambda: wd('POST', '/session', caps, timeout=45))
        if created:
            state['session'] = created['sessionId']
            pgrep = ['pgrep', '-n', '-P', str(state['driver'].pid), '-x', 'quillora']
            return subprocess.run(pgrep, capture_output=True, text=True).stdout.strip() or fail('no quillora under the driver')
        print(f"# new session {attempt_number} on {folder} failed: {state['error']}", file=sys.stderr)
    fail(f'new session on {folder}')


def stop_program(pid):  # the driver closes the window and the program must end by itself
    session, state['session'] = state['session'], None
    wd('DELETE', f'/session/{session}')
    within(10, lambda: gone(pid)) or fail('the program is still running 10 s after the session ended')
    # The driver passes on the program's stderr: an instrumented build reports there.
    report = re.search(r'(Sanitizer|runtime error:).*', driver_log.read_text(errors='replace'), re.S)
    if report:
        fail(f'the sanitizers reported errors:\n{report.group(0)[:4000]}')


def startup_failure(code, text, shot_name, *args, env=None):
    # The message box's text also goes to stderr; SIGTERM closes the box.
    errors = work / 'startup.err'
    with open(errors, 'w') as out:
        program = subprocess.Popen([build / 'quillora', *args], stderr=out, env=env)
    if not within(10, lambda: text in errors.read_text(errors='replace')):
        program.kill()
        fail(f'no message "{text}"')
    time.sleep(0.5)
    if shutil.which('import'):
        subprocess.run(['import', '-window', 'root', shots / f'{shot_name}.png'], stderr=subprocess.DEVNULL)
    program.terminate()
    status = program.wait(10)
    status == code or fail(f'exit code {status} instead of {code} for "{text}"')


def history():
    act('#tabHistory')
    see(15, 'the history does not show the deploy', '''const run = historyRuns.find((r) => r.kind === "playlist");
        const states = $('#historyRuns tr[data-run="' + run?.id + '"] .run-state').map((i, s) => $(s).text()).get();
        return states.length === 2 && states.every((text) => /^(Confirmed|Done, \\d+ of \\d+ files seen)$/.test(text))''')
    deployed = run('return historyRuns.find((r) => r.kind === "playlist").id')
    act(f'#historyRuns button[data-action="details"][data-run="{deployed}"]')
    see(15, 'the details of the deploy are not shown', '''return !$("#historyDetail").hasClass("d-none")
        && $("#historyDetailList > li").length === 2 && $("#historyDetailList .run-steps > li").length >= 2''')
    shot('14-history')
    accessible('history view')
    ok('the history view lists the deploy with both displays done, its steps, and axe-core finds nothing there')

    refused = see(10, 'no run of the refused login', '''const run = historyRuns.find((r) => r.kind === "login"
        && r.displays.some((d) => d.ip === "10.77.1.11:80" && d.state === "failed")); return run ? run.id : null''')
    act(f'#historyRuns button[data-action="retry"][data-run="{refused}"]')
    opened('#retryCard')
    act(('#retryPass', '12345'), '#retryConfirm')
    see(30, 'the retry did not appear as a run of its own', '''requestHistory();
        return historyRuns.some((r) => r.retryOf === arguments[0] && r.displays.some((d) => d.ip === "10.77.1.11:80"))''', refused)
    shot('15-retried')
    ok('Retry of the refused login runs again as a run of its own')

    exports = [work / 'run.csv', work / 'history.csv']
    act(f'#historyRuns button[data-action="export"][data-run="{deployed}"]')
    within(15, lambda: exports[0].exists()) or fail('the run was not exported')
    act('#historyExportAll')
    within(15, lambda: exports[1].exists()) or fail('the history was not exported')
    see(10, 'the export is not confirmed', 'return $("#notices .notice-text").text().includes(arguments[0])', str(exports[1]))
    one, whole = (path.read_text() for path in exports)
    '10.77.1.10' in one and '10.77.1.11' not in one or fail(f'the run export holds {one!r}')
    '10.77.1.10' in whole and '10.77.1.11' in whole or fail(f'the history export holds {whole!r}')
    shot('16-exported')
    act('#tabMain')
    ok('one run and the whole history are exported as CSV')


def schedules():
    act('#tabSchedules')
    run('''postToHost("schedule", "save", {name: "Foyer mornings", login: "foyer", targets: {group: "Foyer"},
        operation: {C: "deploy", T: "playlist", P: {file: "Lobby.json"}},
        when: {weekly: {days: ["mon", "tue", "wed", "thu", "fri"], time: "07:30", until: "2030-06-30"}}})''')
    see(15, 'the saved schedule is not listed', '''return $("#schedulesList > tr").length === 1
        && /Foyer mornings/.test($("#schedulesList").text()) && /07:30/.test($("#schedulesList").text())''')
    shot('18-schedules-en')
    accessible('schedules view')
    opened('#scheduleDialog', '#schedulesList button[data-action="edit"]')
    shot('19-schedule-dialog-en')
    accessible('schedule dialog')
    act('#scheduleDialog [data-dismiss="modal"]')
    see(10, 'the dialog did not close', 'return !$("body").hasClass("modal-open")')
    for language, title in [('de', 'Zeitpläne'), ('en', 'Schedules')]:
        act('#languageMenu button', f'#languageMenu [data-language="{language}"]')
        see(10, f'the page is not in {language}', 'return $("#tabSchedules").text().includes(arguments[0])', title)
        language == 'de' and (shot('20-schedules-de'), accessible('schedules view in German'))
    act('#tabMain')
    ok('a schedule saved by the host is listed with its next firing, its dialog opens, in English and German, and axe-core finds nothing')


def session():
    app = work / 'app'
    # Firmware copies never outlive the program: this one is gone after a clean shutdown.
    (app / 'web/firmware/stale.epak').write_text('stale')
    pid = start_program(app)
    within(30, lambda: logged('ui script injection finished')) or fail('the injection did not finish')
    logged('ui script injection finished after 20 pieces') or fail('the injection took another number of pieces')
    # The first and the last piece of the UI script, every style sheet and library of the page.
    see(10, "the UI script or the page's libraries are not all in the page", '''return [window.addToPlaylist,
        window.copyright, $.ui, $.fn.modal, window.Popper].every(Boolean)
        && document.styleSheets.length === document.querySelectorAll("link[rel=stylesheet]").length
        && [...document.styleSheets].every((sheet) => sheet.cssRules.length > 0)''')
    within(10, lambda: logged(r"loadTranslation\('en-GB'\)")) or fail("the page was not given the user's locale")
    ok("the page loaded with its libraries, the injection ended after 20 pieces, the page has the user's locale (en-GB)")
    see(10, 'the page did not finish starting', 'return document.getElementById("uiLoading") === null')
    shot('01-loaded')

    startup_failure(2, 'An other instance of this application is already running!', '09-other-instance', '--folder', app)
    broken = work / 'broken'
    (broken / 'run').mkdir(mode=0o700, parents=True)
    (broken / 'config.yaml').write_text('notification:\n  port: [8089\n')
    startup_failure(3, 'config.yaml', '10-broken-config', '--folder', broken, env=dict(os.environ, XDG_RUNTIME_DIR=str(broken / 'run')))
    for usage in [['--bogus'], ['--folder'], ['--folder', '']]:
        result = subprocess.run([build / 'quillora', *usage], capture_output=True, text=True, timeout=10)
        result.returncode == 1 and 'usage: quillora' in result.stderr or fail(f'{usage} gave {result.returncode}')
    ok('a second instance and a broken config.yaml show their message box and exit with 2 and 3; usage errors with 1')

    # WebKit itself keeps a web page from opening files and data: the host's filter refuses the
    # display's plain HTTP address, and new windows.
    page_url = wd('GET', f"/session/{state['session']}/url")
    run('''location.href = "http://10.77.1.10/"; const link = document.createElement("a");
        link.href = "https://10.77.1.10/"; link.target = "_blank"; document.body.appendChild(link);
        link.click(); link.remove();''')
    within(5, lambda: logged('navigation refused: http://10.77.1.10/')) or fail('the filter did not refuse http://10.77.1.10/')
    time.sleep(1)
    wd('GET', f"/session/{state['session']}/url") == page_url or fail('the view left its page')
    len(wd('GET', f"/session/{state['session']}/window/handles")) == 1 or fail('a second window was opened')
    ok('plain HTTP and new-window navigations are refused')

    opened('#savePlaylistCard', '#btnNewPlaylist')
    act(('#inputPlaylistFileName', 'Lobby'), '#savePlaylistConfirm')
    see(10, 'the new playlist is not open', '''return $("#currentPlaylistName").text() === "Lobby"
        && !$("#addMedia").hasClass("d-none") && !$("#savePlaylistCard").hasClass("show")''')
    act('#addMedia')
    see(15, 'the media were not added', 'return $("#playlist > li").length === 2')
    stored = app / 'web/conf/Lobby.json'
    items = lambda: json.loads(stored.read_text())['playlist'] if stored.exists() else []
    within(10, lambda: [item['title'] for item in items()] == ['h264_aac.mp4', 'image.png']) or fail(f'Lobby.json holds {items()}')
    all((app / 'web/media' / item['url']).is_file() for item in items()) or fail(f'the media of {items()} were not copied')
    shot('02-playlist')
    opened('#savePlaylistCard', '#btnNewPlaylist')
    act('#savePlaylistCard [data-dismiss="modal"]')
    see(10, 'the editor was not emptied', '''return $("#playlist > li").length === 0
        && $("#currentPlaylistName").text() === "" && !$("body").hasClass("modal-open")''')
    opened('#openPlaylistCard', '#btnOpenPlaylist')
    act('#openPlaylistSelect option[value="Lobby.json"]', '#openPlaylistConfirm')
    see(10, 'Lobby was not reopened', '''return $("#currentPlaylistName").text() === "Lobby"
        && $("#playlist > li").length === 2 && !$("body").hasClass("modal-open")''')
    ok('a playlist of two sample media was composed, saved and reopened')

    # The preview plays the video: WebKit has the decoders it needs.
    act('#playlist > li:first-child .media-title')
    see(20, 'the video does not play in the preview', '''const video = $("#previewMedia video")[0];
        return $("#preview").hasClass("show") && video !== undefined && video.error === null
        && video.readyState >= 2 && video.videoWidth > 0 && video.currentTime > 0''')
    opened('#preview')
    shot('11-preview')
    act('#preview [data-dismiss="modal"]')
    see(10, 'the preview did not close', 'return $("#previewMedia video").length === 0 && !$("body").hasClass("modal-open")')
    ok('the preview plays the video')

    act('#btnSearchDevice')
    see(20, 'the search did not list 4 displays', 'return $("#devicelist > li").length === 4')
    order = run('return $("#devicelist > li").map((i, li) => $(li).attr("data-ip")).get()')
    order == ['10.77.1.10', '10.77.1.11', '10.77.2.10', '10.77.2.11'] or fail(f'displays not ordered by address: {order}')
    shot('03-displays')
    ok('a search lists the four displays ordered by address')
    accessible('main view with displays listed')
    ok('axe-core finds nothing serious or critical on the main view with displays listed')

    act(('#manualAddress', '10.77.3'), '#manualAddButton')
    see(10, 'a malformed address was not refused in the page', '''return $("#manualAddress").hasClass("is-invalid")
        && $("#manualAddressError").is(":visible")''')
    act(('#manualAddress', '10.77.3.10:80\ue007'))  # Enter in the field adds it
    see(10, 'the display added by hand is not listed as not yet seen', '''return $('#devicelist li[data-ip="10.77.3.10"]')
        .find(".badge-unseen").text() === "Not yet seen" && $("#devicelist > li").length === 5''')
    shot('12-added-by-hand')
    ok('a malformed address is refused in the page, a display added by hand is listed as not yet seen')

    def row(ip, phase, failure):
        return see(60, failure, '''const status = $("#deployProgressList > li").filter((i, row) =>
            $(row).find(".deploy-row-address").text().startsWith(arguments[0] + ":"))
            .find(".deploy-row-status." + arguments[1]);
            return status.length === 1 ? status.text().trim() : null;''', ip, phase)

    def log_in(password, by=None):
        opened('#deployPlaylistCard', by)
        act(('#username', 'admin'), ('#password', password), '#deployConfirm')
    checks = ['#devicelist li[data-ip="10.77.1.10"] input.device-check', '#devicelist li[data-ip="10.77.2.10"] input.device-check']
    act(*checks)
    opened('#groupDialog', '#groupNew')
    act(('#groupName', 'Foyer'), '#groupDialogConfirm')
    see(10, 'the group was not made', 'return groupNamed("Foyer")?.ip.join() === "10.77.1.10:80,10.77.2.10:80"')
    act(*checks)
    see(10, 'the displays were not unchecked', 'return selectedDevices().length === 0')
    act('#groupSelect option[value="Foyer"]', '#groupSelectMembers')
    see(10, 'the group did not select its displays', '''return selectedDevices().map(deviceAddress).join() === "10.77.1.10:80,10.77.2.10:80"
        && $("#devicelist input.device-check:checked").length === 2''')
    shot('13-group-selected')
    ok('a group made of two checked displays selects them with one click')
    act('#deployMenuButton', '#deployMenu .dropdown-item[data-mode="adDeploy"]')
    log_in('12345')
    for ip in ['10.77.1.10', '10.77.2.10']:
        'finished' in row(ip, 'phase-done', f'{ip} did not finish').lower() or fail(f'{ip} does not show finished')
    for journal in ['sim1', 'sim2a']:
        events = [json.loads(line) for line in (work / f'{journal}.jsonl').read_text().splitlines() if line.strip()]
        fetched = sum(1 for event in events if event.get('event') == 'fetch' and event.get('ok'))
        fetched == 2 or fail(f'{journal} fetched {fetched} files, not 2')
    see(10, 'the end of the deploy is not shown', '''return $("#deploySpinner").hasClass("d-none")
        && $("#notices .notice-text").text().includes("Deploy playlist: done on 2 display(s).")''')
    shot('04-deployed')
    ok('the playlist was deployed to two displays, both show finished and so does the summary')

    def test_login(ip, password):
        see(10, 'the last operation is still running', 'return deployList.length === 0')
        act(f'#devicelist li[data-ip="{ip}"] .device-name')
        see(10, f'the editor of {ip} did not open', 'return $("#deviceEditor").hasClass("show") && $("#IPAddr").val() === arguments[0]', ip)
        opened('#deviceEditor')
        log_in(password, '#deviceLoginButton')
    test_login('10.77.1.11', 'wrong-password')
    refused = row('10.77.1.11', 'phase-failed', 'no refused login shown')
    'login' in refused.lower() or fail(f'10.77.1.11 shows {refused}')
    shot('05-login-refused')
    subprocess.run(['kill', os.environ['SIM_UNPLUG_PID']])
    within(5, lambda: gone(os.environ['SIM_UNPLUG_PID']))
    test_login('10.77.2.11', '12345')
    unreachable = row('10.77.2.11', 'phase-failed', 'no unreachable display shown')
    'reach' in unreachable.lower() or fail(f'10.77.2.11 shows {unreachable}')
    shot('06-unreachable')
    ok(f'a refused login ({refused}) and an unreachable display ({unreachable}) are shown as such')
    history()
    schedules()

    wd('POST', f"/session/{state['session']}/window/rect", {'width': 300, 'height': 200})
    rect = wd('GET', f"/session/{state['session']}/window/rect")
    rect['width'] >= 640 and rect['height'] >= 480 or fail(f'the window shrank to {rect}')
    shot('07-minimum-size')
    ok(f"the window does not shrink below 640 x 480 ({rect['width']} x {rect['height']})")

    # Nothing answers https there: the view shows WebKit's error document for that address.
    run('location.href = "https://10.77.1.10/";')
    see(15, 'the view did not go to https://10.77.1.10/', 'return document.body?.innerText.includes("10.77.1.10")')
    run('''window.webkit.messageHandlers.quillora.postMessage(JSON.stringify(
        {T: "playlist", C: "save", V: 1, P: {name: "Intruder.json", playlist: []}}));''')
    within(10, lambda: logged('page message from https://10.77.1.10/ dropped')) or fail('the message was not dropped')
    not (app / 'web/conf/Intruder.json').exists() or fail('the https document made the host save a playlist')
    ok('a document of another site cannot make the host act')

    stop_program(pid)
    not (app / 'web/firmware/stale.epak').exists() or fail('the clean-up at exit did not run')
    ok('closing ends the program with its clean-up at exit')

    pid = start_program(app)
    see(30, 'the remembered displays are not listed at start', '''const rows = $("#devicelist > li");
        return rows.length > 1 && rows.get().every((row) => $(row).find(".badge-unseen").length === 1)
            && $('#devicelist li[data-ip="10.77.3.10"]').length === 1
            && /Last deploy: (Confirmed|Done)/.test($('#devicelist li[data-ip="10.77.1.10"] .run-state').text())''')
    shot('17-remembered')
    ok('after a restart the remembered displays are listed as not yet seen, with their last deploy state')
    stop_program(pid)

    changed = work / 'changed'
    shutil.copytree(app, changed)
    page = changed / 'web/index.html'
    page.write_text(page.read_text().replace('<title>', '<title>X', 1))
    pid = start_program(changed)
    see(15, 'the error page is not shown', 'return document.body?.innerText.includes("Error! Please contact software provider")')
    logged('page integrity check failed') or fail('no integrity failure logged')
    shot('08-error-page')
    ok('a changed index.html shows the error page')
    stop_program(pid)


def main():
    (run_dir := work / 'run').mkdir(mode=0o700, exist_ok=True)
    display_read, display_write = os.pipe()
    xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(display_write), '-screen', '0', '1600x1000x24', '-nolisten', 'tcp'],
                            pass_fds=[display_write], stderr=open(work / 'xvfb.log', 'w'))
    os.close(display_write)
    answers, samples = work / 'answers.json', src / 'tests/data/media'
    answers.write_text(json.dumps([[str(samples / 'h264_aac.mp4'), str(samples / 'image.png')],
                                   [str(work / 'run.csv')], [str(work / 'history.csv')]]))
    # No accessibility bus here. The libraries have no frame pointers: only full stacks show whose
    # a leak is; an instrumented build is told about the libraries' own findings.
    os.environ.update(GSETTINGS_BACKEND='memory', XDG_RUNTIME_DIR=str(run_dir), QUILLORA_LOG=str(log), NO_AT_BRIDGE='1',
                      QUILLORA_DIALOG_ANSWERS=str(answers), LC_ALL='', LC_MESSAGES='')
    supp = {'ASAN': 'fast_unwind_on_malloc=0', 'LSAN': f'suppressions={src}/tests/desktop/lsan.supp',
            'UBSAN': f'suppressions={src}/tests/desktop/ubsan.supp'}
    os.environ.update({f'{k}_OPTIONS': ':'.join(filter(None, [os.environ.get(f'{k}_OPTIONS'), v])) for k, v in supp.items()})
    try:
        select.select([display_read], [], [], 10)[0] or fail('Xvfb did not start')
        os.environ['DISPLAY'] = ':' + (os.read(display_read, 64).decode().strip() or fail('Xvfb did not start'))
        session()
        print(f"desktop: {state['passed']} passed, 0 failed")
        return 0
    except Exception as failure:
        print(f'FAIL: {failure}', file=sys.stderr)
        if state['session']:
            attempt(lambda: shot('failure'))
        for name in filter(Path.exists, [log, driver_log]):
            print(f'--- {name.name}', *name.read_text(errors='replace').splitlines()[-40:], sep='\n', file=sys.stderr)
        print(f"desktop: {state['passed']} passed, 1 failed")
        return 1
    finally:
        if state['session']:
            attempt(lambda: wd('DELETE', f"/session/{state['session']}"))
        stop_driver()
        xvfb.kill()


sys.exit(main())
