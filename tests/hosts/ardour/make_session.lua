-- Builds the relay session in headless Ardour (ardour7-lua): the dummy
-- backend's "Sine Wave" device feeds a stereo track with the Tovik plug-in
-- inserted. Prints the track's meter at its input and after its fader while
-- the input is monitored, records three seconds of the input as a region (for
-- the offline export) and saves the session.
-- Environment: SESSION_DIR (must not exist yet), SESSION_NAME.
local common = dofile((debug.getinfo(1, "S").source:match("^@(.*/)") or "./") .. "common.lua")
local fail = common.fail
local dir, name = os.getenv("SESSION_DIR"), os.getenv("SESSION_NAME")

common.start_engine("Sine Wave")
if not create_session(dir, name, 48000) then fail("could not create the session in " .. dir) end

local track = Session:new_audio_track(2, 2, nil, 1, "relay", ARDOUR.PresentationInfo.max_order,
                                      ARDOUR.TrackMode.Normal, true, false):front()
track:input():disconnect_all(nil)
track:input():audio(0):connect("system:capture_1")
track:input():audio(1):connect("system:capture_2")
local plugin = ARDOUR.LuaAPI.new_plugin(Session, "Tovik", ARDOUR.PluginType.LXVST, "")
if plugin:isnil() then fail("Ardour does not know the plug-in Tovik (was the scanner run?)") end
track:add_processor_by_index(plugin, 0, nil, true)

local function measure(point, label)
  track:set_meter_point(point)
  ARDOUR.LuaAPI.usleep(300000)
  track:peak_meter():reset_max()
  ARDOUR.LuaAPI.usleep(1000000)
  print(string.format("meter %s %.3f %.3f", label, common.level(track, 0), common.level(track, 1)))
end
track:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorInput, PBD.GroupControlDisposition.NoGroup)
measure(ARDOUR.MeterPoint.MeterInput, "input")
measure(ARDOUR.MeterPoint.MeterPostFader, "post-fader")

-- Record the plain input; the export plays it back through the plug-in.
track:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorAuto, PBD.GroupControlDisposition.NoGroup)
track:rec_enable_control():set_value(1, PBD.GroupControlDisposition.NoGroup)
Session:maybe_enable_record(false)
Session:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep(3000000)
Session:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep(500000)
Session:disable_record(false, false)
track:rec_enable_control():set_value(0, PBD.GroupControlDisposition.NoGroup)
print("regions " .. track:playlist():region_list():size())
Session:save_state("", false, false, false, false, false)
close_session()
print("saved")
