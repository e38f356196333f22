-- Shared by the session scripts: how they fail, and the dummy audio engine
-- they run on. Loaded with dofile from the script's own folder.
local common = {}

-- Prints the error where the stage script looks for it and ends the run.
function common.fail(msg)
  print("ardour: error: " .. msg)
  io.stdout:flush()
  os.exit(1)
end

-- Starts the "None (Dummy)" backend with one of its generated devices.
function common.start_engine(device)
  local backend = AudioEngine:set_backend("None (Dummy)", "", "")
  if not backend or backend:isnil() then common.fail("the dummy backend is missing") end
  backend:set_device_name(device)
  if AudioEngine:start(false) ~= 0 then common.fail("the audio engine did not start") end
end

-- The peak of one audio channel of a track's meter, in dBFS. The meter's
-- first channels are MIDI ones (the plug-in has a MIDI port).
function common.level(track, channel)
  local meter = track:peak_meter()
  return meter:meter_level(meter:input_streams():n_midi() + channel, ARDOUR.MeterType.MeterPeak0dB)
end

return common
